/*
 * kiv.hpp - a C++20 interface to kiv, header-only, over the C API of kiv.h.
 *
 * What it adds to the C calls:
 *   - result codes as std::error_code: the library's own codes 1000..1005 in
 *     the "kiv" category (kiv::errc), errno values in the system category;
 *     kiv::result_text() names any result code in words;
 *   - move-only handles that close themselves: kiv::connection (Modbus/TCP)
 *     and kiv::config_session (the configuration dialogue, ended with
 *     KIV_Cfg_Exit unless it was saved), and kiv::save_and_restart, the
 *     save with the caller's wait for the module's answer;
 *   - one class per model (kiv::zrm7301, kiv::zrm7302, kiv::zrm7303) whose
 *     methods mirror the entry points and return kiv::result<T>: a value or
 *     an error. Nothing here throws unless result::value() is asked for the
 *     value of a failure, so the header also serves -fno-exceptions code;
 *   - decoders of the AI and TC channel records into plain structs, and the
 *     range codes 0..10 with their labels;
 *   - kiv::client, a module's Modbus/TCP side that owns its connection and
 *     reconnects after every failed exchange, for programs that poll.
 *
 * The code lives in the headers of the kiv directory beside this one, one
 * job each; this one includes them all, and a program includes this one.
 * Everything there is inline and calls only the functions of kiv.h: it
 * adds no symbol to the library. Channel numbers are 1-based, as in the
 * entry points; the library checks them and returns KIV_ERR_PARAM (nothing
 * sent).
 * The rules of kiv.h hold unchanged: one exchange at a time on a handle, and
 * after a timeout a late reply stays in the connection, so close and
 * reconnect (a fresh kiv::connection, or a kiv::client, which does it)
 * when that matters.
 */
#ifndef KIV_HPP
#define KIV_HPP

#include "kiv/cxx20.hpp"
#ifdef KIV_HPP_CXX20

#include "kiv.h"

#include "kiv/errors.hpp"
#include "kiv/result.hpp"
#include "kiv/records.hpp"
#include "kiv/ranges.hpp"
#include "kiv/connection.hpp"
#include "kiv/config_session.hpp"
#include "kiv/model_base.hpp"
#include "kiv/zrm7301.hpp"
#include "kiv/zrm7302.hpp"
#include "kiv/zrm7303.hpp"
#include "kiv/model_table.hpp"
#include "kiv/client.hpp"

#endif /* C++20 */
#endif /* KIV_HPP */
