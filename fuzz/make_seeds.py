#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers into corpus/<fuzzer>/. Run it after changing an input
format; the seeds it writes are committed. Each seed is a small, well-formed example of what its
fuzzer reads, so that fuzzing starts from inputs that reach deep into the code."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def record(rtype, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    check = (0x100 - sum(body) % 256) % 256
    return (":" + body.hex().upper() + "%02X" % check).encode()


def write(fuzzer, name, content):
    folder = os.path.join(HERE, "corpus", fuzzer)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content)


EOF_RECORD = b":00000001FF"

# One record line.
for name, line in {
    "eof": EOF_RECORD,
    "ela": b":020000040000FA",
    "ela8000": b":0200000480007A",
    "data16": record(0, 0x1230, range(16)),
    "lower": record(0, 0xABCD, [0xDE, 0xAD, 0xBE, 0xEF]).lower(),
    "trailing": record(0, 0, [1, 2]) + b"00",
    "start-linear": record(5, 0, [0x80, 0, 0x80, 0]),
    "short": b":0300",
}.items():
    write("fuzz_intel_hex_record", name, line)

# A whole text.
CRLF = b"\r\n"
small = [record(4, 0, [0, 0]), record(0, 0, range(16)), record(0, 0x10, range(16, 32)), EOF_RECORD]
write("fuzz_flatten", "two-records", CRLF.join(small) + CRLF)
write("fuzz_flatten", "joined", b"".join(small))
write("fuzz_flatten", "mcu-like", CRLF.join([record(4, 0, [0x80, 0x00]), record(0, 0x8000, range(8)),
                                             record(4, 0, [0x80, 0x01]), record(0, 0x0000, range(8, 24)),
                                             record(5, 0, [0x80, 0, 0x80, 0]), EOF_RECORD]) + CRLF)
write("fuzz_flatten", "bad-checksum", record(0, 0, [1, 2, 3])[:-1] + b"0" + CRLF + EOF_RECORD + CRLF)
write("fuzz_flatten", "eof-only", EOF_RECORD + CRLF)
write("fuzz_flatten", "top-of-image", CRLF.join([record(4, 0, [0, 0x3F]), record(0, 0xFFF0, range(16))]) + CRLF)

# Base64: first byte chooses the room (decode) or the line length (round trip).
for name, text in {"abc": b"YWJj", "lines": b"YW\r\nJj", "pad2": b"YQ==", "pad-then-symbol": b"YQ=a",
                   "leftover": b"YWJjZA", "lone-cr": b"YW\rJj", "lf": b"YW\nJj\n"}.items():
    write("fuzz_base64_decode", name, b"\x80" + text)
    write("fuzz_base64_decode", name + "-short", b"\x01" + text)
write("fuzz_base64_roundtrip", "abc", b"\x05abc")
write("fuzz_base64_roundtrip", "bytes", b"\x83" + bytes(range(256)))
write("fuzz_base64_roundtrip", "one", b"\x00a")

# The unit's replies: mode, settings, then replies; a reply is a piece count and pieces of
# (delay ms: 2 bytes little-endian, size exponent, length, bytes).
HELP = b"version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
TX = b"Kovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n>>"
RX = b"Kovlar QV7 SIGNAL LINK RX WITH ETHERNET\r\n>>"
VERSION = b"1.0.2\r\nQV7TX 1.3 9\r\n>>"
BOOT = b"[    0.000] Kovlar QV7 SIGNAL LINK TX WITH ETHERNET\r\n[    0.412] Firmware 1.0.2 started\r\n>>"


def piece(delay, data, exponent=0):
    assert len(data) < 256
    return struct.pack("<HBB", delay, exponent, len(data)) + data


def reply(*pieces):
    return bytes([len(pieces)]) + b"".join(pieces)


def unit(mode, settings, *replies):
    return bytes([mode, settings]) + b"".join(replies)


# sendCommand: settings picks the time-out (index % 5), the expected text ((s / 8) % 5), the rate.
write("fuzz_unit_replies", "command-identity", unit(0, 1 + 8 * 2, reply(piece(20, TX[:10]), piece(300, TX[10:]))))
write("fuzz_unit_replies", "command-ready-crlf", unit(0, 4 + 8 * 0, reply(piece(20, b"Ready\r\n"))))
write("fuzz_unit_replies", "command-zero-byte", unit(0, 1 + 8 * 2, reply(piece(20, TX + b"\x00junk"))))
write("fuzz_unit_replies", "command-late", unit(0, 1 + 8 * 2, reply(piece(1200, TX))))
write("fuzz_unit_replies", "command-flood", unit(0, 1 + 8 * 2, reply(piece(20, b"FLOOD 0123456789\r\n", 250))))
# sendData: settings & 0x7F times 300 bytes.
write("fuzz_unit_replies", "data-success", unit(1, 34, reply(piece(20, b"SUCCESS"))))
write("fuzz_unit_replies", "data-checksum", unit(1, 10, reply(piece(20, b"ERROR: CHECKSUM"))))
write("fuzz_unit_replies", "data-split", unit(1, 1, reply(piece(5, b"SUC"), piece(900, b"CESS"))))
# Detection: two bits per port (absent, empty, busy, scripted) for COM1 to COM4.
write("fuzz_unit_replies", "detect-second-try", unit(2, 0b11100111, reply(piece(20, HELP[:-1])), reply(piece(20, HELP))))
write("fuzz_unit_replies", "detect-third-rate", unit(2, 0b00000011, reply(), reply(), reply(), reply(), reply(piece(20, HELP))))
# The update: settings picks the unit's rate.
full_tx = [reply(piece(20, VERSION)), reply(piece(20, TX)), reply(piece(20, b"Ready")), reply(piece(20, b"SUCCESS")),
           reply(piece(20, b"Ready")),
           # The boot text comes 145 s after the last "SUCCESS", in the tool's last read.
           reply(piece(20, b"SUCCESS"), piece(65535, b""), piece(65535, b""), piece(13930, BOOT))]
write("fuzz_unit_replies", "update-tx", unit(3, 1, *full_tx))
write("fuzz_unit_replies", "update-rx", unit(3, 2, reply(piece(20, VERSION.replace(b"TX", b"RX"))), reply(piece(20, TX[:-2])),
                                             reply(piece(20, RX)), reply(piece(20, b"Ready")), reply(piece(20, b"Ready\r\n"))))
write("fuzz_unit_replies", "update-long-model", unit(3, 1, reply(piece(20, b"2.1.0\r\n" + b"M" * 40 + b" 4.5 9\r\n>>")),
                                                     reply(piece(20, TX)), reply(piece(20, b"Ready\r\n"))))
write("fuzz_unit_replies", "update-device8", unit(3, 1, reply(piece(20, VERSION.replace(b" 9", b" 8")))))
write("fuzz_unit_replies", "update-version-split", unit(3, 1, reply(piece(20, VERSION[:9]), piece(600, VERSION[9:])),
                                                        reply(piece(20, TX))))
