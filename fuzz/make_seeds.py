#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (corpus/<target>/), one file
per case, in the input layouts the targets' comments describe. Run it again
after changing a layout; libFuzzer grows its own corpus from these."""
import hashlib
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def i32(v):
    return struct.pack(">i", v)


def small(v):
    # small_or_any: a tag byte, then one signed byte, or 0xFF and an int.
    return bytes([0, v & 0xFF]) if -128 <= v <= 127 else b"\xff" + i32(v)


def mb_reply(fn, data, count=None):
    pdu = bytes([fn, len(data) if count is None else count]) + data
    return struct.pack(">HHHB", 0, 0, len(pdu) + 1, 0) + pdu


def modbus(op, start, quantity, size, mode=0, data=b"", reply=b""):
    return bytes([op]) + i32(start) + i32(quantity) + small(size) + bytes([mode]) + data + reply


def cfg(op, kind, first, count, value, size, request=b"", codes=b"", answers=()):
    out = bytes([op, kind]) + small(first) + small(count) + i32(value) + small(size)
    out += bytes([len(request)]) + request + codes
    for a in answers:
        out += bytes([len(a)]) + a
    return out


def login(mode, password, answer):
    return bytes([mode]) + password.ljust(8, b"\0")[:8] + answer


# Sequence steps: op numbers as in fuzz_sequence.cpp.
DO_READ, DI_READ, AI_READ, DO_WRITE = 0, 1, 2, 3
MODEL = 4  # + the model entry point's number (modbus_oracle.h)
LINE, SET, GET = 16, 17, 20  # SET and GET + 0 "u8_povp", 1 "ai_en", 2 "tc_en"
REFUSED, STALLED, CLOSE = 23, 24, 25
HANG_UP, RESET, MINUS, SIGNAL, LOGIN, NO_FD, NULL = 1, 2, 4, 8, 16, 32, 64


def step(op, flags=0, chunks=(), args=b""):
    out = bytes([op, flags, len(chunks)])
    for c in chunks:
        out += bytes([len(c)]) + c
    return out + args


def read_args(start, quantity, size):
    return struct.pack(">HH", start, quantity) + small(size)


def model_args(first, count, value, size):
    return bytes([first, count, value]) + small(size)


def set_args(first, count, value, size):
    return small(first) + small(count) + i32(value) + small(size)


def get_args(first, count, size):
    return small(first) + small(count) + small(size)


COILS = mb_reply(0x01, b"\x5a")
INPUTS = mb_reply(0x02, b"\x34\x12")
REGISTERS = mb_reply(0x03, bytes(range(12)))


SEEDS = {
    "modbus": [
        modbus(2, 256, 24, 127, reply=mb_reply(0x03, bytes(range(48)))),
        modbus(2, 256, 24, 16, reply=mb_reply(0x03, bytes(range(48)))),
        modbus(2, 256, 24, 64, reply=mb_reply(0x83, b"", count=2)),
        modbus(0, 0, 8, 1, reply=mb_reply(0x01, b"\x5a")),
        modbus(1, 0, 16, 2, reply=mb_reply(0x02, b"\x34\x12")),
        modbus(1, 0, 16, 2, reply=mb_reply(0x02, b"\x34\x12", count=40)),
        modbus(0, 0, 8, 1, mode=1),
        modbus(0, 0, 8, 1, mode=2),
        modbus(3, 0, 8, 1, data=b"\x5a", reply=mb_reply(0x0F, b"\x00\x00\x08")[:12]),
        modbus(3, 0, 1, 1, data=b"\x01", reply=struct.pack(">HHHBBHH", 0, 0, 6, 0, 5, 0, 0xFF00)),
        modbus(3, 0, 8, 1, data=b"\x5a", reply=mb_reply(0x8F, b"", count=4)),
        modbus(6, 1, 8, 64, reply=mb_reply(0x03, bytes(48))),
        modbus(15, 1, 3, 64, reply=mb_reply(0x03, bytes(30))),
        modbus(8, 1, 8, 1, reply=mb_reply(0x01, b"\x0f")),
        modbus(9, 0x0301, 4, 1, reply=mb_reply(0x0F, b"\x00\x00\x04")[:12]),
        modbus(11, 0, 0, 48, reply=mb_reply(0x03, bytes(48))),
    ],
    "cfg": [
        cfg(2, 1, 0, 8, 0, 1, codes=bytes(8), answers=[b"A:ai_en=255\r\n"]),
        cfg(1, 1, 0, 8, 0, 4, codes=bytes(8), answers=[b"A:u8_povp=5\r\n"]),
        cfg(3, 0, 0, 3, 0, 1, codes=bytes(3), answers=[b"A:tc_en=7\r\n"]),
        cfg(5, 1, 0, 8, 0xAA, 16, codes=bytes(8),
            answers=[b"A:ai_en=255\r\n", b"A:ai_en=170\r\n"]),
        cfg(4, 0, 2, 3, 5, 16, codes=bytes(3), answers=[b"A:u8_povp=0\r\nA:u8_povp=20\r\n"]),
        cfg(7, 1, 0, 2, 0, 8, codes=bytes(2),
            answers=[b"A:ai_pl=1\r\n", b"A:ai_range_0=8\r\n", b"A:ai_range_1=2\r\n"]),
        cfg(8, 1, 0, 2, 0, 2, codes=b"\x03\x0a",
            answers=[b"A:ai_pl=0\r\n", b"A:ai_range_0=2\r\n", b"A:ai_range_1=10\r\n",
                     b"A:ai_pl=3\r\n"]),
        cfg(9, 1, 1, 8, 0, 1, codes=bytes(8), answers=[b"A:ai_en=15\r\n"]),
        cfg(13, 1, 1, 2, 0, 8, codes=bytes(2),
            answers=[b"A:ai_pl=0\r\n", b"A:ai_range_0=4\r\n", b"A:ai_range_1=6\r\n"]),
        cfg(11, 1, 1, 8, 0x0F, 0, codes=bytes(8),
            answers=[b"A:ai_en=0\r\n", b"A:ai_en=15\r\n"]),
        cfg(12, 1, 1, 3, 5, 0, codes=bytes(3), answers=[b"A:tc_en=7\r\n", b"A:tc_en=5\r\n"]),
        cfg(0, 1, 0, 0, 0, 0, request=b"G:ai_en=\r\n", answers=[b"A:ai_en=255\r\n"]),
        cfg(2, 1, 0, 8, 0, 64, codes=bytes(8), answers=[b"A:LoginFail\r\n"]),
        cfg(2, 3, 0, 8, 0, 1, codes=bytes(8), answers=[]),
        cfg(17, 1, 0, 0, 0, 0, answers=[b"A:save=1&reboot=1\r\n"]),
        # Bit 31 set: the word goes out as a negative "%d".
        cfg(4, 1, 31, 1, 1, 16, codes=b"\x00",
            answers=[b"A:u8_povp=5\r\n", b"A:u8_povp=-2147483643\r\n"]),
        # A stream whose read answer fills one receive exactly (leading
        # zeros), the echo behind it.
        cfg(5, 0, 0, 8, 0x0F, 16, codes=bytes(8),
            answers=[b"A:ai_en=" + b"0" * 120, b"0" * 125 + b"5\r\n", b"A:ai_en=15\r\n"]),
        # Every range line echoed, the polarity word last.
        cfg(14, 1, 2, 3, 0, 3, codes=b"\x05\x0a\x0c",
            answers=[b"A:ai_pl=1\r\n", b"A:ai_range_1=4\r\n", b"A:ai_range_2=10\r\n",
                     b"A:ai_range_3=12\r\n", b"A:ai_pl=7\r\n"]),
        # A value the module did not plainly state: nothing may be written.
        cfg(6, 1, 0, 3, 5, 16, codes=bytes(3), answers=[b"A:tc_en=+7\r\n", b"A:tc_en=5\r\n"]),
        # Null output pointers: refused, nothing sent.
        cfg(5, 5, 0, 8, 0, 16, codes=bytes(8), answers=[b"A:ai_en=255\r\n"]),
        cfg(8, 5, 0, 2, 0, 2, codes=b"\x03\x0a", answers=[b"A:ai_pl=0\r\n"]),
    ],
    "login": [
        login(2, b"", b"A:LoginOK\r\n"),
        login(0, b"secret", b"A:LoginOK\r\n"),
        login(0, b"12345678", b"A:LoginFail\r\n"),
        login(2, b"", b"A:LoginOK\r\n\0more"),
        login(1, b"", b"A:Log"),
        login(3, b"", b""),
    ],
    "sequence": [
        # Each reply in time.
        step(AI_READ, 0, [REGISTERS], read_args(256, 6, 64))
        + step(DO_READ, 0, [COILS], read_args(0, 8, 1))
        + step(DI_READ, 0, [INPUTS], read_args(0, 16, 2)),
        # Late: the coil read gives up; its reply is taken by the input read.
        step(DO_READ, 0, [], read_args(0, 8, 4))
        + step(DI_READ, 0, [COILS], read_args(0, 16, 4))
        + step(DO_READ, 0, [COILS], read_args(0, 8, 4)),
        # Split over three sends and two calls; a reply longer than a frame.
        step(AI_READ, 0, [REGISTERS[:4], REGISTERS[4:7]], read_args(256, 6, 64))
        + step(AI_READ, 0, [REGISTERS[7:]], read_args(256, 6, 64))
        + step(DO_READ, 0, [mb_reply(0x01, bytes(range(31)))], read_args(0, 8, 40))
        + step(DO_READ, 0, [], read_args(0, 8, 40)),
        # A reset after the reply; a hang-up after it.
        step(DO_READ, RESET, [COILS], read_args(0, 8, 1))
        + step(DO_READ, 0, [], read_args(0, 8, 1)),
        step(DI_READ, HANG_UP, [INPUTS], read_args(0, 16, 2))
        + step(DI_READ, 0, [], read_args(0, 16, 2)),
        # A wait refused (-1), its reply then taken by the next; a signal.
        step(AI_READ, MINUS, [REGISTERS], read_args(0, 24, 48))
        + step(AI_READ, 0, [], read_args(0, 24, 48))
        + step(DI_READ, SIGNAL, [], read_args(0, 16, 2)),
        # Writes, generic and per model, echoed or not.
        step(DO_WRITE, 0, [mb_reply(0x0F, b"\x00\x00\x08")[:12]], read_args(0, 8, 1) + b"\x5a")
        + step(MODEL + 6, 0, [struct.pack(">HHHBBHH", 0, 0, 6, 0, 5, 2, 0xFF00)],
               model_args(3, 1, 1, 0))
        + step(MODEL + 5, 0, [mb_reply(0x8F, b"", count=2)], model_args(1, 8, 0xA5, 0)),
        # Model reads, one with channels out of range (nothing sent).
        step(MODEL + 2, 0, [mb_reply(0x03, bytes(48))], model_args(1, 8, 0, 64))
        + step(MODEL + 11, 0, [mb_reply(0x03, bytes(30))], model_args(1, 3, 0, 64))
        + step(MODEL + 3, 0, [INPUTS], model_args(0, 3, 0, 4))
        + step(MODEL + 4, 0, [COILS], model_args(2, 4, 0, 0))
        + step(MODEL + 7, 0, [mb_reply(0x03, bytes(48))], model_args(0, 0, 0, 48)),
        # A write built on a plain value whose echo comes late, to the next line.
        step(SET + 1, 0, [b"A:ai_en=5\r\n"], set_args(0, 8, 0x0F, 16))
        + step(LINE, 0, [b"A:ai_en=15\r\n"], bytes([10]) + b"G:ai_en=\r\n"),
        # A read answer that fills one receive, the echo behind it.
        step(SET + 0, 0,
             [b"A:u8_povp=" + b"0" * 118, b"0" * 125 + b"5\r\n", b"A:u8_povp=-2147483643\r\n"],
             set_args(31, 1, 1, 16)),
        step(GET + 2, 0, [b"A:tc_en=6\r\n"], get_args(0, 3, 1))
        + step(GET + 2, 0, [b"A:tc_en=+6 \r\n"], get_args(1, 2, 8)),
        # Connects elsewhere, then the handle closed under the next read.
        step(REFUSED) + step(STALLED, 0, [], b"\x01") + step(STALLED, SIGNAL) + step(REFUSED, MINUS)
        + step(CLOSE) + step(DO_READ, 0, [], read_args(0, 8, 1)),
        # The same by the login, and connects with no descriptor left.
        step(REFUSED, LOGIN) + step(STALLED, LOGIN, [], b"\x02") + step(STALLED, LOGIN | SIGNAL)
        + step(REFUSED, NO_FD) + step(STALLED, LOGIN | NO_FD, [], b"\x01")
        + step(REFUSED, LOGIN | NULL),
    ],
}

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)
