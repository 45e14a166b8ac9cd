/*
 * kiv.h - client library for the ZRM family of networked remote I/O modules.
 *
 * A module offers two TCP services: Modbus/TCP (port 502) for process data
 * and a line-oriented configuration service (port 5001). This header is the
 * whole public interface; it is valid C and C++.
 *
 * Contract
 * --------
 * Handles. A connection handle is the descriptor of a connected IPv4 TCP
 * socket, non-blocking for its whole life. KIV_Connect and KIV_Cfg_Login hand
 * it out; the caller owns it and closes it with KIV_Close (Modbus) or
 * KIV_Cfg_Exit / KIV_Cfg_SaveExit (configuration). No other call closes a
 * handle it has handed out. Any descriptor number works, also those at or
 * above FD_SETSIZE.
 *
 * Timeouts. Every timeout is an int number of milliseconds, 0 to INT_MAX.
 * A connect timeout bounds the whole connect procedure; an exchange timeout
 * bounds its single reply wait. A timeout of 0 takes only what is already
 * waiting. A negative exchange timeout fails with EINVAL (22).
 *
 * One exchange, one reply. Each exchange makes one send, one wait and one
 * receive, with no retry. Replies are matched to requests by order alone
 * (every Modbus request carries transaction identifier 0), so run one
 * exchange at a time on a handle. A reply that arrives after its exchange
 * returned KIV_ERR_TIMEOUT stays in the socket and is taken by the next
 * exchange on that handle as its own: after a timeout, closing and
 * reconnecting is the safe way on.
 *
 * Buffers. The caller owns every buffer and passes its size; no call stores
 * more than that size. The library allocates nothing, keeps no state between
 * calls and starts no threads: calls on different handles may run on
 * different threads at once.
 *
 * Signals. Sends never raise SIGPIPE: a connection that the module has
 * dropped gives EPIPE (32), or ECONNRESET (104) for the first send after
 * the module reset it. A wait interrupted by a signal fails with EINTR.
 *
 * Result codes. Every function returns an int: 0 is success (KIV_OK); a
 * positive value below 1000 is the Linux errno value of a failed system call
 * (ECONNREFUSED 111, EPIPE 32, ...); 1000 to 1005 are the library's own codes
 * below.
 *
 * Output. Only the four Modbus exchanges print, on standard output, and only
 * these lines: "send failed:%d\r\n", "select failed\r\n",
 * "recv disconnected\r\n" and "recv failed:%d\r\n".
 *
 * Version. kiv_version.h, installed beside this header and included by it,
 * defines the version of the headers a program is compiled with:
 * KIV_VERSION_MAJOR, KIV_VERSION_MINOR and KIV_VERSION_PATCH, integer
 * constants for #if, and KIV_VERSION_STRING, their text ("1.0.0"). The
 * library has no call that reports its own version.
 */
#ifndef KIV_H
#define KIV_H

#include <errno.h>
#include <stddef.h>

#include "kiv_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; only these names are public. */
#if defined(__GNUC__)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

/* Result codes of the library's own. */
enum kiv_result {
    KIV_OK = 0,                /* success */
    KIV_ERR_TIMEOUT = 1000,    /* connect deadline passed, or no reply in time */
    KIV_ERR_DISCONNECTED = 1001, /* the module closed the connection */
    KIV_ERR_EXCEPTION = 1002,  /* Modbus exception reply; its code is handed on */
    KIV_ERR_RESPONSE = 1003,   /* reply too short, of another function, or an
                                  unexpected configuration answer */
    KIV_ERR_PARAM = 1004,      /* argument out of range; nothing was sent */
    KIV_ERR_LOGIN = 1005       /* the module refused the login */
};

/*
 * The name of a result code, for messages and logs: "KIV_OK", the constant
 * of each library code ("KIV_ERR_TIMEOUT"), and the errno constant of the
 * values that the calls return in practice ("ECONNREFUSED", "EINTR", ...).
 * NULL for any other number; for an errno value, strerror_r() says what it
 * is. A constant text; inline, so it adds no symbol to the library.
 */
static inline const char *KIV_Result_Name(int code)
{
    switch (code) {
    case KIV_OK: return "KIV_OK";
    case KIV_ERR_TIMEOUT: return "KIV_ERR_TIMEOUT";
    case KIV_ERR_DISCONNECTED: return "KIV_ERR_DISCONNECTED";
    case KIV_ERR_EXCEPTION: return "KIV_ERR_EXCEPTION";
    case KIV_ERR_RESPONSE: return "KIV_ERR_RESPONSE";
    case KIV_ERR_PARAM: return "KIV_ERR_PARAM";
    case KIV_ERR_LOGIN: return "KIV_ERR_LOGIN";
    /* Connecting and the connection's life. */
    case ECONNREFUSED: return "ECONNREFUSED";
    case ECONNRESET: return "ECONNRESET";
    case ECONNABORTED: return "ECONNABORTED";
    case ETIMEDOUT: return "ETIMEDOUT";
    case ENETUNREACH: return "ENETUNREACH";
    case EHOSTUNREACH: return "EHOSTUNREACH";
    case ENETDOWN: return "ENETDOWN";
    case EHOSTDOWN: return "EHOSTDOWN";
    case EADDRNOTAVAIL: return "EADDRNOTAVAIL";
    case EADDRINUSE: return "EADDRINUSE";
    case ENOTCONN: return "ENOTCONN";
    case EPIPE: return "EPIPE";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    /* Waits and sends. */
    case EINTR: return "EINTR";
    case EAGAIN: return "EAGAIN";
    case EINVAL: return "EINVAL";
    /* Resources and handles. */
    case EMFILE: return "EMFILE";
    case ENFILE: return "ENFILE";
    case ENOBUFS: return "ENOBUFS";
    case ENOMEM: return "ENOMEM";
    case EBADF: return "EBADF";
    case ENOTSOCK: return "ENOTSOCK";
    case EAFNOSUPPORT: return "EAFNOSUPPORT";
    default: return NULL;
    }
}

/* ------------------------------------------------------------------------
 * Connections
 * ------------------------------------------------------------------------ */

/* Does nothing; returns KIV_OK. Programs call it once before anything else. */
KIV_API int KIV_Init(void);

/*
 * Opens a Modbus/TCP connection.
 *   address     dotted-decimal IPv4 address text ("192.168.1.10"); no host
 *               names. Unreadable text becomes 255.255.255.255 and the
 *               system's errno for that address is returned.
 *   port        TCP port, low 16 bits used (502 for Modbus/TCP).
 *   timeout     ms for the whole connect; the first attempt is always made,
 *               so 0 or less succeeds only when that attempt completes.
 *   handle_out  receives the connection handle; written on KIV_OK only.
 * While the connect is in progress the call sleeps in poll() until the
 * socket is writable or the deadline passes; it spends no CPU meanwhile.
 * Returns KIV_OK; KIV_ERR_TIMEOUT when the deadline passed with the connect
 * still in progress; EINTR (4) when a signal interrupted the wait (no
 * retry); or the errno value of socket/connect (ECONNREFUSED 111 as soon as
 * the refusal arrives). No socket stays open after a failure.
 */
KIV_API int KIV_Connect(const char *address, int port, int timeout, int *handle_out);

/* Closes the handle. Always KIV_OK, also for a handle already closed. */
KIV_API int KIV_Close(int handle);

/* ------------------------------------------------------------------------
 * Generic Modbus/TCP exchanges
 *
 * Addresses and quantities are 0-based Modbus values, sent as their low 16
 * bits, unchecked. Data is passed as it travels: registers high byte first,
 * coils and inputs packed eight to a byte, the first point in bit 0.
 * ------------------------------------------------------------------------ */

/*
 * The three reads: KIV_DO_Read reads coils (function 0x01), KIV_DI_Read
 * discrete inputs (0x02), KIV_AI_Read holding registers (0x03).
 *   handle, timeout  connection and reply wait in ms.
 *   start, quantity  first address and number of points or registers.
 *   buf, size        caller's buffer and its size in bytes; size >= 1.
 *   len_out          receives the number of bytes stored.
 * One reply is taken per call: at most 23 data bytes (184 coils or inputs)
 * for KIV_DO_Read and KIV_DI_Read, 247 (123 registers) for KIV_AI_Read; a
 * longer reply is cut and its rest stays in the connection.
 * On KIV_OK the data bytes of the reply are stored, as many as were received,
 * as the reply's byte count announces and as size allows, whichever is
 * fewest; *len_out is that number.
 * Returns:
 *   KIV_OK
 *   KIV_ERR_EXCEPTION   buf[0] = the module's exception code, *len_out = 1
 *   KIV_ERR_RESPONSE    reply of 8 bytes or fewer, or of another function
 *   KIV_ERR_TIMEOUT, KIV_ERR_DISCONNECTED, or an errno value of the send,
 *                       the wait or the receive
 *   KIV_ERR_PARAM       size < 1 (nothing sent)
 *   EAGAIN (11)         the socket took only part of the request
 * *len_out is 0 after every failure except KIV_ERR_EXCEPTION; buf is not
 * written then.
 */
KIV_API int KIV_DO_Read(int handle, int timeout, int start, int quantity,
                unsigned char *buf, int size, int *len_out);
KIV_API int KIV_DI_Read(int handle, int timeout, int start, int quantity,
                unsigned char *buf, int size, int *len_out);
KIV_API int KIV_AI_Read(int handle, int timeout, int start, int quantity,
                unsigned char *buf, int size, int *len_out);

/*
 * Writes coils. A quantity of 1 sends write single coil (0x05): ON when
 * data[0] is exactly 1, OFF for any other value. A quantity of 2 or more
 * sends write multiple coils (0x0F) with data[0..len-1] as the packed values
 * and len as the byte count, unchanged (not derived from the quantity).
 *   handle, timeout  connection and reply wait in ms.
 *   start, quantity  first coil address and number of coils (>= 1).
 *   data, len        values to write, 1 to 19 bytes (19 fill the 32-byte
 *                    request frame); on KIV_ERR_EXCEPTION data[0] receives
 *                    the exception code.
 * Returns KIV_OK for a reply of function 0x05 or 0x0F (the echo is not
 * compared); KIV_ERR_EXCEPTION for 0x85 or 0x8F; KIV_ERR_RESPONSE for a
 * reply of 8 bytes or fewer or of another function; KIV_ERR_PARAM (nothing
 * sent) for quantity < 1, len < 1 or len > 19; otherwise as the reads.
 */
KIV_API int KIV_DO_Write(int handle, int timeout, int start, int quantity,
                 unsigned char *data, int len);

/* ------------------------------------------------------------------------
 * Module I/O entry points
 * ------------------------------------------------------------------------ */
/*
 * One function per model and signal group. Each checks its 1-based channel
 * arguments, maps them to the model's Modbus addresses and makes exactly one
 * generic exchange above, whose result it returns unchanged (prints
 * included). A failed channel check returns KIV_ERR_PARAM: nothing is sent
 * and the caller's buffer, length and value byte are left as they were.
 *
 * Channel check: with N channels in the group, first must be 1..N, count
 * 1..N and the last channel first+count-1 at most N.
 *
 * Reads into buf/size/len: as KIV_AI_Read and KIV_DI_Read, including
 * KIV_ERR_EXCEPTION with the exception code in buf[0] and *len = 1.
 * DO reads (value out): *value receives the output byte on KIV_OK only, and
 * only when the reply carried a data byte (an empty reply gives KIV_OK and
 * leaves *value as it was); bit i is channel first+i. The exception code of
 * a Modbus exception is not handed on.
 * DO writes: for one channel the value is a state (exactly 1 switches on,
 * anything else off; write single coil); for several it is a mask, bit i
 * driving channel first+i (write multiple coils). The exception code of a
 * Modbus exception is not handed on.
 *
 * Register map (0-based Modbus addresses):
 *   ZRM-7301  coil 0: the output; holding registers 256 + 3*(n-1): AI
 *             channel n (1..8), one 6-byte AI record each
 *   ZRM-7302  discrete inputs n-1: DI channel n (1..16); coils n-1: DO
 *             channel n (1..8); holding registers 0..23: the sensor block
 *   ZRM-7303  discrete inputs n-1: DI channel n (1..2); coil 0: the output;
 *             holding registers 512 + 5*(n-1): TC channel n (1..3), one
 *             10-byte TC record each
 */

/*
 * Channel records, as the AI and TC reads return them back to back: the
 * record of channel first at byte 0, that of first+k at k * record size.
 * Registers travel high byte first. A value reads as: "-" if its sign byte
 * is 1 (any other value: not negative), the integer part in decimal, ".",
 * the fractional part in decimal as a plain number (integer 12, fraction 5
 * reads 12.5; fraction 50 reads 12.50).
 */
enum kiv_ai_record {
    KIV_AI_RECORD_SIZE = 6,
    KIV_AI_ENABLE = 0,     /* 1 = channel enabled; any other value disabled */
    KIV_AI_SIGN = 1,       /* 1 = value negative */
    KIV_AI_INTEGER = 2,    /* 2 bytes, unsigned, high first: integer part */
    KIV_AI_FRACTION = 4    /* 2 bytes, unsigned, high first: fractional part */
};

enum kiv_tc_record {
    KIV_TC_RECORD_SIZE = 10,
    KIV_TC_ENABLE = 0,        /* 1 = channel enabled; any other value disabled */
    KIV_TC_SIGN = 1,          /* 1 = temperature negative */
    KIV_TC_INTEGER = 2,       /* 2 bytes, unsigned, high first: temperature integer part */
    KIV_TC_FRACTION = 4,      /* 2 bytes, unsigned, high first: temperature fraction */
    KIV_TC_REF_INTEGER = 6,   /* 1 byte: reference value, integer part */
    KIV_TC_REF_FRACTION = 7,  /* 1 byte: reference value, fractional part */
    KIV_TC_REF_SIGN = 8,      /* 1 = reference value negative (sign after it) */
    KIV_TC_FAULTS = 9         /* fault flags, KIV_TC_FAULT_* bits */
};

enum kiv_tc_fault {
    KIV_TC_FAULT_OPEN = 0x01,         /* open input */
    KIV_TC_FAULT_SHORT_GND = 0x02,    /* short to ground */
    KIV_TC_FAULT_SHORT_VCC = 0x04     /* short to supply; bits 3-7 carry nothing */
};

/* The ZRM-7302 sensor block: 24 holding registers, 48 bytes in wire order. */
enum { KIV_ZRM_7302_SENSOR_SIZE = 48 };

/* ZRM-7301: reads the output (coil 0) into *value, bit 0. */
KIV_API int KIV_ZRM_7301_DO_Read(int handle, int timeout, unsigned char *value);
/* ZRM-7301: switches the output on (value 1) or off (any other value). */
KIV_API int KIV_ZRM_7301_DO_Write(int handle, int timeout, unsigned char value);
/*
 * ZRM-7301: reads AI channels first..first+count-1 (1..8) as count AI
 * records, 6*count bytes, into buf (64 bytes hold all eight).
 */
KIV_API int KIV_ZRM_7301_AI_Read(int handle, int timeout, unsigned char first,
                                 unsigned char count, unsigned char *buf, int size, int *len);

/* ZRM-7302: reads DI channels first.. (1..16), packed, channel first in bit 0. */
KIV_API int KIV_ZRM_7302_DI_Read(int handle, int timeout, unsigned char first,
                                 unsigned char count, unsigned char *buf, int size, int *len);
/* ZRM-7302: reads DO channels first.. (1..8) into *value, channel first in bit 0. */
KIV_API int KIV_ZRM_7302_DO_Read(int handle, int timeout, unsigned char first,
                                 unsigned char count, unsigned char *value);
/* ZRM-7302: writes DO channels first.. (1..8): one channel a state, several a mask. */
KIV_API int KIV_ZRM_7302_DO_Write(int handle, int timeout, unsigned char first,
                                  unsigned char count, unsigned char value);
/* ZRM-7302: KIV_ZRM_7302_DO_Write(handle, timeout, channel, 1, value). */
KIV_API int KIV_ZRM_7302_DO_Write_bit(int handle, int timeout, unsigned char channel,
                                      unsigned char value);
/* ZRM-7302: reads the whole sensor block (registers 0..23, 48 bytes). */
KIV_API int KIV_ZRM_7302_Sensor_Read(int handle, int timeout, unsigned char *buf, int size,
                                     int *len);

/* ZRM-7303: reads DI channels first.. (1..2), packed, channel first in bit 0. */
KIV_API int KIV_ZRM_7303_DI_Read(int handle, int timeout, unsigned char first,
                                 unsigned char count, unsigned char *buf, int size, int *len);
/* ZRM-7303: reads the output (coil 0) into *value, bit 0. */
KIV_API int KIV_ZRM_7303_DO_Read(int handle, int timeout, unsigned char *value);
/* ZRM-7303: switches the output on (value 1) or off (any other value). */
KIV_API int KIV_ZRM_7303_DO_Write(int handle, int timeout, unsigned char value);
/*
 * ZRM-7303: reads TC channels first..first+count-1 (1..3) as count TC
 * records, 10*count bytes, into buf.
 */
KIV_API int KIV_ZRM_7303_TC_Read(int handle, int timeout, unsigned char first,
                                 unsigned char count, unsigned char *buf, int size, int *len);

/* ------------------------------------------------------------------------
 * Configuration dialogue
 *
 * The configuration service (port 5001) is a text dialogue: one request
 * line, one answer, each line ASCII ending in CR LF. Requests are
 * "G:<key>=" (get), "S:<key>=<value>" (set) and "S:save=1&reboot=1";
 * every answer begins "A:". A dialogue runs: KIV_Cfg_Login, any number of
 * parameter calls (below), then KIV_Cfg_SaveExit or KIV_Cfg_Exit. One
 * receive is one answer: an answer split over two receives is not joined,
 * and what is left of a long or late answer is taken by the next exchange.
 * These functions print nothing.
 * ------------------------------------------------------------------------ */

/*
 * Connects to the configuration service and logs in.
 *   address     dotted-decimal IPv4 address text, as KIV_Connect.
 *   port        TCP port, low 16 bits used (5001 for the service).
 *   timeout     ms: bounds the connect, then again the wait for the login
 *               answer, so the call takes up to twice the timeout.
 *   password    8 bytes, all 8 encoded (zero bytes among them included): a
 *               shorter password must be padded with zeros to 8 readable
 *               bytes; or a string whose first byte is 0 (such as "") for
 *               no password, of which only that byte is read.
 *   handle_out  receives the connection handle.
 * Sends "L:" and CR LF, with the 16 lower-case hex digits of the XTEA code
 * of the password between them when there is one (4 or 20 bytes), and
 * takes one receive of at most 32 bytes as the answer. The login holds when
 * that answer, up to a first NUL, is exactly "A:LoginOK\r\n".
 * Returns:
 *   KIV_OK                *handle_out is the open, logged-in handle
 *   KIV_ERR_LOGIN         any other answer: more bytes after it in the same
 *                         receive, only part of it, 32 bytes or more
 *   KIV_ERR_TIMEOUT       the connect deadline passed, or no answer in time
 *   KIV_ERR_DISCONNECTED  the module closed the connection instead
 *   KIV_ERR_PARAM         a null pointer (nothing sent)
 *   an errno value        of socket, connect, the wait or the receive
 * On a failed connect *handle_out is not written. On a failure after it the
 * socket is closed and *handle_out holds the number of the closed
 * descriptor: use the handle only after KIV_OK.
 */
KIV_API int KIV_Cfg_Login(const char *address, int port, int timeout, const char *password,
                          int *handle_out);

/*
 * One exchange of the dialogue: sends request (a NUL-terminated line,
 * without its NUL, CR LF included by the caller) with one send, waits up to
 * timeout ms and takes one receive of at most 256 bytes.
 *   answer      257 bytes: receives the answer's bytes and a NUL after them.
 *   answer_len  receives the number of bytes received, 1..256.
 * The answer's content is not looked at. An answer longer than 256 bytes
 * gives its first 256; the rest is the start of the next exchange's answer.
 * answer and *answer_len are written on KIV_OK only.
 * Returns KIV_OK; KIV_ERR_TIMEOUT; KIV_ERR_DISCONNECTED; EAGAIN (11) when
 * the socket took only part of the line; an errno value of the send, the
 * wait or the receive (EPIPE 32 once the module has dropped the
 * connection); KIV_ERR_PARAM for a null pointer (nothing sent). The handle
 * stays open whatever happens.
 */
KIV_API int request_response(int handle, int timeout, const char *request, char *answer,
                             int *answer_len);

/* Ends a dialogue: closes the handle. Always KIV_OK, also when already closed. */
KIV_API int KIV_Cfg_Exit(int handle);

/*
 * Ends a dialogue and has the module keep its settings: exchanges
 * "S:save=1&reboot=1\r\n" with a fixed timeout of 100 ms, then closes the
 * handle whatever the exchange gave. Any answer within 100 ms gives KIV_OK
 * (its text is not looked at); otherwise the exchange's failure, as
 * request_response. The module restarts: a further dialogue needs a new
 * login. The handle is closed in every case.
 */
KIV_API int KIV_Cfg_SaveExit(int handle);

/* ------------------------------------------------------------------------
 * Configuration parameters
 *
 * Generic reads and writes on a logged-in dialogue, with 0-based bit and
 * channel positions. Each exchange waits up to timeout ms; none of these
 * calls closes the handle. The parameters, 32-bit words on the module:
 *   "u8_povp"     power-on value of the digital outputs, a set of bits
 *   "ai_en"       analog-input enable, bit n for channel n
 *   "tc_en"       thermocouple enable, bit n for channel n
 *   "ai_pl"       analog-input polarity, bit n for channel n
 *   "ai_range_n"  the base value of analog channel n's range
 *
 * Window. first and count select bits (or channels) first..first+count-1;
 * the window must lie within 0..31 (first >= 0, count >= 0, first+count at
 * most 32), otherwise KIV_ERR_PARAM and nothing is sent.
 *
 * Text. An answer is looked at as text up to its first NUL byte (the
 * prefix, the value, the "=" and the echo are looked for there); its length
 * and its closing CR LF count every byte received.
 *
 * Values read. A value is read as decimal the way a 32-bit strtoul reads it,
 * on every build: leading blanks and a sign taken, reading stops at the
 * first non-digit, no digits read as 0, a magnitude of 4294967296 or more
 * reads as 4294967295. An answer is taken when it is longer than its
 * minimum (12 bytes for "u8_povp", 8 for the others), ends in CR LF (one
 * that does not is incomplete) and contains the prefix "A:<key>="; its CR LF
 * is cut and the value is read at the prefix's length from the start of the
 * answer, whatever stands there: a prefix that does not stand at the start
 * is not looked for at its place (" A:ai_en=85\r\n" reads 0, from the "=",
 * and "       A:u8_povp=5\r\n" reads 8). Values are written as signed
 * decimal ("%d").
 *
 * Writes are built only on a value the module plainly stated. The read
 * half of every write must be exactly the prefix, one or more decimal
 * digits of a number below 2^32, and CR LF: no sign, blank, stray byte or
 * second line. Any other answer gives KIV_ERR_RESPONSE and nothing is
 * written to the module, since writing back the word with a window
 * replaced would set every other bit to a value the module never said.
 *
 * Echo. A write holds when the module's answer is longer than the minimum
 * and contains, anywhere, the line sent with its S replaced by A, CR LF
 * included, character for character ("A:ai_en=12\r\n" for "S:ai_en=12\r\n";
 * "A:ai_en=012\r\n" does not match).
 *
 * Error text. Where a call below says "error text", an answer that was not
 * as expected is left in data as text: its first bytes up to size-1 (or up
 * to a NUL in it), then a NUL (nothing when size is 0); *count_out receives
 * the answer's full received length, which may be more than was stored.
 * The call then returns KIV_ERR_RESPONSE.
 *
 * Result codes of every call below: KIV_OK; KIV_ERR_RESPONSE (as said per
 * call); KIV_ERR_PARAM (a null pointer, a window outside 0..31, or as said
 * per call: nothing sent); and the failures of request_response:
 * KIV_ERR_TIMEOUT, KIV_ERR_DISCONNECTED, EAGAIN for a part-sent line, or an
 * errno value. After KIV_ERR_TIMEOUT a late answer is taken by the next
 * exchange: end the dialogue (KIV_Cfg_Exit) and log in again.
 * ------------------------------------------------------------------------ */

/*
 * Bit-window reads: KIV_Cfg_Get_DO_PowerOnValue reads "u8_povp",
 * KIV_Cfg_Get_AI_Enable "ai_en", KIV_Cfg_Get_TC_Enable "tc_en". One
 * exchange, "G:<key>=\r\n".
 *   first, count  the window; bits of it from 8 on do not fit the byte and
 *                 are dropped (count 0 still makes the exchange).
 *   data, size    the caller's buffer, size >= 1.
 *   count_out     set to 0 first.
 * On KIV_OK: data[0] holds the window, bit i = bit first+i of the value
 * (bits past the window are 0); *count_out is 1.
 * An answer too short or without the prefix: error text.
 * Any other failure writes nothing but *count_out = 0.
 * KIV_ERR_PARAM also for size < 1.
 */
KIV_API int KIV_Cfg_Get_DO_PowerOnValue(int handle, int timeout, int first, int count,
                                        unsigned char *data, int size, int *count_out);
KIV_API int KIV_Cfg_Get_AI_Enable(int handle, int timeout, int first, int count,
                                  unsigned char *data, int size, int *count_out);
KIV_API int KIV_Cfg_Get_TC_Enable(int handle, int timeout, int first, int count,
                                  unsigned char *data, int size, int *count_out);

/*
 * Bit-window writes, read-modify-write: KIV_Cfg_Set_DO_PowerOnValue writes
 * "u8_povp", KIV_Cfg_Set_AI_Enable "ai_en", KIV_Cfg_Set_TC_Enable "tc_en".
 * Two exchanges: "G:<key>=\r\n", then "S:<key>=<new>\r\n" where <new> is the
 * value read with bit first+i replaced by bit i of value for i below count;
 * the other bits keep what the module reported.
 *   first, count  the window (up to 32 bits).
 *   value         the new bits, bit 0 for bit first.
 *   data, size    buffer for the error text only; size may be 0.
 *   count_out     set to 0 first; stays 0 unless an error text is left.
 * On KIV_OK the module has echoed the written line. KIV_ERR_RESPONSE with
 * error text when the first answer does not state a value (see "Writes"
 * above; nothing was written), or when the echo does not match (the module may
 * have taken the new value all the same). If the set exchange itself fails
 * its code is returned and the value on the module is unknown.
 */
KIV_API int KIV_Cfg_Set_DO_PowerOnValue(int handle, int timeout, int first, int count, int value,
                                        unsigned char *data, int size, int *count_out);
KIV_API int KIV_Cfg_Set_AI_Enable(int handle, int timeout, int first, int count, int value,
                                  unsigned char *data, int size, int *count_out);
KIV_API int KIV_Cfg_Set_TC_Enable(int handle, int timeout, int first, int count, int value,
                                  unsigned char *data, int size, int *count_out);

/*
 * Range codes of the analog inputs (one byte per channel):
 *   0 -150..+150 mV   1 0..150 mV    2 -500..+500 mV   3 0..500 mV
 *   4 -1..+1 V        5 0..1 V       6 -5..+5 V        7 0..5 V
 *   8 -10..+10 V      9 0..10 V     10 0..20 mA
 * The module keeps a code as a base value in "ai_range_n" (the even code:
 * 0, 2, 4, 6, 8 or 10) and the channel's bit n of "ai_pl" (1 for the odd
 * codes and for 10).
 */
/*
 * Reads the range codes of channels first..first+count-1 (0-based).
 * Exchanges "G:ai_pl=\r\n", then "G:ai_range_<n>=\r\n" for each channel in
 * order. A channel's code is the number after the first "=" of its answer
 * (low 8 bits), plus 1 when its "ai_pl" bit is set, except that 10 stays
 * 10. The channel number inside an answer is not compared.
 *   codes, size  the caller's buffer; at most size codes are stored, so
 *                only the first min(count, size) channels are read.
 *   count_out    set to 0 first.
 * On KIV_OK: codes[i] is the code of channel first+i; *count_out is the
 * number of codes stored, min(count, size).
 * Every failure stops the read at once and stores no code (the caller's
 * bytes stay as they were, but for an error text):
 *   the "ai_pl" answer too short, without its CR LF or without
 *       "A:ai_pl=": error text, *count_out = the answer's full length
 *   a channel's answer too short, without its CR LF or without
 *       "A:ai_range_": error text, *count_out = 0 (no code of this read
 *       counts)
 *   a channel's answer without "=": error text without its CR LF,
 *       *count_out = the answer's full length
 *   a failed exchange: its code, *count_out = 0 (a channel never reads as
 *       a stale byte)
 */
KIV_API int KIV_Cfg_Get_AI_Range(int handle, int timeout, int first, int count,
                                 unsigned char *codes, int size, int *count_out);

/*
 * Writes the range codes codes[0..count-1] to channels first..first+count-1
 * (0-based). Exchanges "G:ai_pl=\r\n"; then, channel by channel,
 * "S:ai_range_<n>=<base>\r\n", each to be echoed; last "S:ai_pl=<word>\r\n"
 * with every channel's polarity bit set, also to be echoed.
 *   codes         count bytes, codes 0..10. A code above 10 is no range: it
 *                 is sent unchanged as the base value and the channel's bit
 *                 of "ai_pl" keeps the value the module reported.
 *   size, channels  not used (the model entry point checks them).
 * No error text and no count.
 * Returns KIV_OK once every line has been echoed; KIV_ERR_RESPONSE when the
 * "ai_pl" answer does not state a value (see "Writes" above; nothing is
 * written then), when a channel's echo
 * does not match, and also when a channel's exchange fails (timeout
 * included); for the final "ai_pl" line its exchange's own code, or
 * KIV_ERR_RESPONSE when the echo does not match. A failure part-way leaves
 * the earlier channels' base values written on the module and "ai_pl"
 * unchanged; nothing is undone.
 */
KIV_API int KIV_Cfg_Set_AI_Range(int handle, int timeout, int first, int count,
                                 unsigned char *codes, int size, int channels);

/* ------------------------------------------------------------------------
 * Module configuration entry points
 *
 * The configurable channels of ZRM-7301 (8 analog inputs: enable and range)
 * and ZRM-7303 (3 thermocouple inputs: enable), on a handle from
 * KIV_Cfg_Login, which stays open. Channels are 1-based ints, checked as
 * signed values: with N channels (8 or 3), first must be 1..N, count 1..N
 * and the last channel first+count-1 at most N. Channel n is bit n-1 of the
 * enable word and of "ai_pl", and its range is "ai_range_<n-1>". Each call
 * checks its arguments, then makes one generic call above with first-1 and
 * count and returns its result unchanged: the exchanges, the error text and
 * the result codes are those of that call. A failed check, a null pointer
 * or a buffer too small returns KIV_ERR_PARAM: nothing is sent and nothing
 * in the caller's memory is changed.
 * ------------------------------------------------------------------------ */

/*
 * ZRM-7301: reads the enable bits of AI channels first..first+count-1
 * (KIV_Cfg_Get_AI_Enable; one exchange).
 *   buf, size  size >= 1. On KIV_OK buf[0] bit i is channel first+i
 *              (1 = enabled), bits count and up 0; *len is 1.
 * On KIV_ERR_RESPONSE buf holds the module's answer as error text and *len
 * its full length; after other failures *len is 0, except KIV_ERR_PARAM,
 * which leaves *len untouched.
 */
KIV_API int KIV_Cfg_ZRM_7301_Get_AI_Enable(int handle, int timeout, int first, int count,
                                           unsigned char *buf, int size, int *len);

/*
 * ZRM-7301: enables or disables AI channels first..first+count-1: bit i of
 * value for channel first+i (1 = enable); higher bits of value are ignored
 * and the other channels keep their setting (KIV_Cfg_Set_AI_Enable; two
 * exchanges, read then write). An error text stays inside the call: only
 * the result code comes back (KIV_Cfg_Set_AI_Enable directly gives the
 * text). After KIV_ERR_RESPONSE from the echo the module may have taken the
 * new bits.
 */
KIV_API int KIV_Cfg_ZRM_7301_Set_AI_Enable(int handle, int timeout, int first, int count,
                                           int value);

/*
 * ZRM-7301: reads the range codes (0..10, see above) of AI channels
 * first..first+count-1 (KIV_Cfg_Get_AI_Range; 1 + count exchanges).
 *   buf, size  size >= count (8 for all channels), else KIV_ERR_PARAM.
 * On KIV_OK buf[i] is the code of channel first+i and *len is count.
 * Every failure stores no code. On KIV_ERR_RESPONSE buf holds the error
 * text and *len is as KIV_Cfg_Get_AI_Range leaves it: the answer's length
 * for an "ai_pl" answer or a channel answer without "=", 0 for a channel
 * answer too short, without its CR LF or without its prefix. After the
 * other failures *len is 0, except KIV_ERR_PARAM, which leaves *len, like
 * everything else of the caller's, untouched.
 */
KIV_API int KIV_Cfg_ZRM_7301_Get_AI_Range(int handle, int timeout, int first, int count,
                                          unsigned char *buf, int size, int *len);

/*
 * ZRM-7301: sets the ranges of AI channels first..first+count-1 to the codes
 * buf[0..count-1] (KIV_Cfg_Set_AI_Range; 2 + count exchanges: "ai_pl" read,
 * each channel's base value, then "ai_pl" written).
 *   buf, size  size >= count, else KIV_ERR_PARAM. The codes' values are not
 *              checked: a code above 10 is sent as it is and leaves the
 *              channel's polarity bit as the module had it.
 * No error text. A failure part-way leaves the earlier channels' base
 * values written and "ai_pl" unchanged: their ranges may then read
 * differently until a later write succeeds.
 */
KIV_API int KIV_Cfg_ZRM_7301_Set_AI_Range(int handle, int timeout, int first, int count,
                                          unsigned char *buf, int size);

/*
 * ZRM-7303: reads the enable bits of TC channels first..first+count-1
 * (1..3), as KIV_Cfg_ZRM_7301_Get_AI_Enable does for "ai_en"
 * (KIV_Cfg_Get_TC_Enable; one exchange).
 */
KIV_API int KIV_Cfg_ZRM_7303_Get_TC_Enable(int handle, int timeout, int first, int count,
                                           unsigned char *buf, int size, int *len);

/*
 * ZRM-7303: enables or disables TC channels first..first+count-1 (1..3),
 * bit i of value for channel first+i, as KIV_Cfg_ZRM_7301_Set_AI_Enable
 * does (KIV_Cfg_Set_TC_Enable; two exchanges).
 */
KIV_API int KIV_Cfg_ZRM_7303_Set_TC_Enable(int handle, int timeout, int first, int count,
                                           int value);

#ifdef __cplusplus
}
#endif

#endif /* KIV_H */
