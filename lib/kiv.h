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
 * dropped gives EPIPE (32). A wait interrupted by a signal fails with EINTR.
 *
 * Result codes. Every function returns an int: 0 is success (KIV_OK); a
 * positive value below 1000 is the Linux errno value of a failed system call
 * (ECONNREFUSED 111, EPIPE 32, ...); 1000 to 1005 are the library's own codes
 * below.
 *
 * Output. Only the four Modbus exchanges print, on standard output, and only
 * these lines: "send failed:%d\r\n", "select failed\r\n",
 * "recv disconnected\r\n" and "recv failed:%d\r\n".
 */
#ifndef KIV_H
#define KIV_H

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
 * Returns KIV_OK; KIV_ERR_TIMEOUT when the deadline passed with the connect
 * still in progress; or the errno value of socket/connect (ECONNREFUSED 111
 * as soon as the refusal arrives). No socket stays open after a failure.
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
 * ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------
 * Configuration parameters
 * ------------------------------------------------------------------------ */

/* ------------------------------------------------------------------------
 * Module configuration entry points
 * ------------------------------------------------------------------------ */

#ifdef __cplusplus
}
#endif

#endif /* KIV_H */
