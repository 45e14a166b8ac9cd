// A command: its words and help, which models have it, which service it
// talks to, and how it turns its arguments into an action. Arguments are
// checked when the action is prepared, before any connection is made.
#pragma once

#include "kiv.hpp"
#include "models.h"
#include "options.h"
#include "output.h"

#include <functional>
#include <string>
#include <vector>

namespace kivtool {

enum class Service { modbus, config };

// A run's connections to the module, with the options and the model they
// were opened for. Modbus goes through a kiv::client, which closes the
// connection after a failed exchange, so that a poll's next round never
// takes a late reply for its own.
struct Connections {
    Connections(const Options &o, const ModelInfo &m)
        : options(o), model(m), modbus(o.address, o.modbus_port, o.connect_timeout_ms)
    {
    }
    const Options &options;
    const ModelInfo &model;
    kiv::client modbus;
    kiv::config_session config;
};

// What one run of an action gave.
struct Outcome {
    bool ok = true;
    // Whether the module answered the failed call at all (an exception or
    // an unexpected answer is an answer; a timeout is not).
    bool replied = true;
    Table table;          // for standard output, without --json
    std::string text;     // printed after the table
    JsonObject json;      // the command's fields, with --json
    // On failure: what was being done, the C call, its result.
    std::string doing;
    std::string call;
    kiv::failure why;
    // What the user needs beside the result: what was done before the
    // failure, or what the failure does not tell.
    std::string note;
    // A write's setting as a read gives it back: the read command and its
    // arguments, for --verify after a save.
    std::vector<std::string> read_back;

    // Records a call's result; false (and the outcome failed) on a failure.
    template <class R> bool check(const Connections &l, const char *c, std::string what, const R &r)
    {
        trace_line(l.options.verbose, std::string(c) + " (" + what + "): " +
                                          code_name(r.code()) + " " +
                                          kiv::result_text(r.code()));
        if (r.ok())
            return true;
        ok = false;
        doing = std::move(what);
        call = c;
        why = r.why();
        int code = r.code();
        replied = code == KIV_ERR_EXCEPTION || code == KIV_ERR_RESPONSE;
        return false;
    }
};

// Saves the settings over the open dialogue and ends it ("save", --save).
void save_settings(Connections &l, Outcome &out);

using Action = std::function<void(Connections &, Outcome &)>;

struct Prepared {
    Action action;
    std::string error; // a usage error: nothing is sent
};

struct Command {
    const char *name;
    const char *synopsis; // "tc [FIRST [COUNT]]"
    const char *summary;  // one line for the list
    const char *help;     // the rest of the command's help
    Service service;
    bool pollable;        // a read that poll may repeat
    bool changes;         // a write to the configuration: --save applies
    bool (*available)(const ModelInfo &);
    Prepared (*prepare)(const Options &, const ModelInfo &);
};

std::vector<Command> process_data_commands();
std::vector<Command> configuration_commands();
// Every command, poll included, in the order of the help.
const std::vector<Command> &all_commands();
const Command *find_command(std::string_view name);
// The models that have the command, for the messages: "7301, 7303".
std::string models_of(const Command &c);

} // namespace kivtool
