#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harness (tests/fuzz/corpus): for each
command a run that goes all the way, in the input format that
fuzz_ostrautil.cpp describes (records in the x86_64 build's byte order);
and the regression inputs (tests/fuzz/regressions) that once failed."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def args(*words):
    data = bytes([len(words)])
    for w in words:
        data += bytes([len(w)]) + w.encode()
    return data


def probe(*drives, signal_at=None):
    """answers of the eight probes sda..sdh"""
    data = b""
    for letter in "abcdefgh":
        name = "sd" + letter
        if name == signal_at:
            return data + bytes([1, 9])
        data += bytes([0, 1 if name in drives else 0])
    return data


OK = b"\0"  # open (report files too), malloc that succeed


def ioctl(result=0, record=None, errno=5):
    data = bytes([result]) if result >= 0 else bytes([0x80]) + bytes([errno])
    if record is not None:
        data += struct.pack("<H", len(record)) + record
    return data


def read(text):
    return bytes([len(text)]) + text


def identify(model="WDC WD1600AAJS-22WAA0", serial="     WD-WCAS21234567"):
    page = bytearray(512)
    page[20:40] = serial.ljust(20).encode()
    page[54:94] = model.ljust(40).encode()
    return bytes(page)


def smart_page(entries, threshold=False):
    page = bytearray(512)
    page[0:2] = struct.pack("<H", 0x10)
    for j, (ident, value) in enumerate(entries):
        e = bytearray(12)
        e[0] = ident
        if threshold:
            e[1] = value
        else:
            e[1:3] = struct.pack("<H", 0x32)
            e[3] = e[4] = 100
            e[5:11] = struct.pack("<Q", value)[:6]
        page[2 + 12 * j:14 + 12 * j] = e
    return bytes(page)


def ow_record(op=1, mode=1, fixdata=0xFFFF, pranddata=0x12345678, trcount=0, partsect=1000):
    return struct.pack("<IIiHHIIQQ", op, 0, mode, 0, fixdata, pranddata, 0, trcount, partsect)


ATTRS = [(1, 0), (9, 9674), (0xC2, 39), (0xCA, 0), (0xAD, 0x56781234), (6, 1)]
SMART = ioctl(0, identify()) + ioctl(0, smart_page(ATTRS)) + ioctl(
    0, smart_page([(a, 51) for a, _ in ATTRS], True))

SEEDS = {
    "too-few-arguments": args("51"),
    "no-drive": args("51", "sda") + probe(),
    "third-drive": args("12", "sda") + probe("sda", "sdb", "sdd"),
    "probe-killed": args("12", "sda") + probe("sda", signal_at="sdc"),
    "unknown-command": args("33", "sda") + probe("sda"),
    "12-two-drives": args("12", "sda") + probe("sda", "sdb") + (OK + ioctl() + ioctl()) * 2
    + OK + ioctl(),
    "13-two-drives": args("13", "sda") + probe("sda", "sdb") + (OK + ioctl()) * 3,
    "hdsleep": args("hdsleep", "/dev/sda") + probe("sda") + OK + ioctl(),
    "regw-fails": args("regw", "/dev/sda") + probe("sda") + OK + ioctl(-1),
    "21-key": args("21", "sda", "sdb", "LL=1", "LH=0x2", "HL=ffffffff", "HH=")
    + probe("sda", "sdb") + (OK + ioctl()) * 2,
    "23-key": args("23", "sda", "LL=1", "LH=2", "HL=3", "HH=4", "UA=5", "UB=6", "UC=7", "UD=8")
    + probe("sda") + OK + ioctl(),
    "24-off": args("24", "sda", "sdb") + probe("sda", "sdb") + (OK + ioctl()) * 2,
    "31-mode1": args("31", "sda", "1", "ffff", "12345678", "5") + probe("sda")
    + OK + ioctl() + OK + ioctl(0, ow_record()) + OK + ioctl() + OK + ioctl(0, ow_record())
    + ioctl(),
    "31-mode-1": args("31", "sda", "-1", "7") + probe("sda")
    + OK + ioctl() + OK + ioctl(0, ow_record(mode=3)) + OK + ioctl() + OK + ioctl(),
    "32": args("32", "sda") + probe("sda") + OK + ioctl(0, struct.pack("<I", 42)),
    "40": args("40", "sda") + probe("sda") + OK + ioctl(0, ow_record(mode=3)),
    "41": args("41", "sda") + probe("sda") + OK + ioctl(0, ow_record()) + ioctl(0, ow_record()),
    "44": args("44", "sda", "12345") + probe("sda") + OK + ioctl(0, ow_record())
    + ioctl(0, ow_record()),
    "45": args("45", "sda", "0x89abcdef") + probe("sda") + OK + ioctl(0, ow_record())
    + ioctl(0, ow_record()),
    "ff": args("ff", "sda") + probe("sda") + OK + ioctl(0, ow_record(trcount=1 << 40)),
    "51-one-drive": args("51", "sda") + probe("sda") + OK + SMART + OK + OK,
    "51-two-drives": args("51", "sda") + probe("sda", "sdc") + (OK + SMART) * 2 + OK + OK,
    "53-two-drives": args("53", "sda") + probe("sda", "sdb") + OK
    + (OK + ioctl(0, identify()) + OK + OK + OK) * 2,
    "52-ssd": args("52", "sda") + probe("sda") + OK + OK + read(b"0\n") + OK
    + read(b"FLASHDISK FD-064GS2 long name\n") + OK
    + ioctl(0, bytes([0xB0, 1, 0xD0, 1]) + smart_page(ATTRS)) + OK,
    "52-partition-name": args("52", "sda5") + probe("sda", "sdb") + OK + OK + read(b"0")
    + OK + read(b"SSD\n") + OK + ioctl(0, bytes(4) + smart_page([(0xAD, 0x5678_1234)])) + OK,
    "46": args("46", "sda") + probe("sda") + OK + ioctl(),
    "identify": args("identify", "/dev/sda") + probe("sda") + OK + ioctl(0, identify()),
    "ow": args("ow", "sda") + probe("sda")
    + b"".join(OK + ioctl(0, struct.pack("<I", c)) for c in (0, 0, 1, 50, 37, 100)),
    "ow-never-done": args("ow", "sda") + probe("sda")
    + b"".join(OK + ioctl(0, struct.pack("<I", c)) for c in (0, 120, 120, 120)),
    "pp": args("pp", "sda5", "50") + probe("sda") + OK
    + ioctl(0, struct.pack("<IIi", 0x800, 1000, 5)) + (OK + ioctl(0, b"")) * 7,
    "psb": args("psb", "sda5", "1") + probe("sda") + OK
    + ioctl(0, struct.pack("<IIi", 0, 1000, 5)) + OK + ioctl(-1),
    "ow_set_total": args("ow_set_total", "sda", "3") + probe("sda") + OK
    + ioctl(0, ow_record(partsect=0x80000000)) + OK + ioctl(),
    "ow_clear": args("ow_clear", "/dev/sda") + probe("sda") + OK + ioctl(),
    "read": args("read", "sda", "0", "fffff8", "3") + probe("sda") + OK
    + (ioctl(0, b"") * 3),
    "uncwrite": args("uncwrite", "sda", "0", "1000") + probe("sda") + OK + ioctl(),
    "rotational": args("rotational", "sda") + probe("sda") + OK + ioctl(0, struct.pack("<I", 1)),
    "long-name": args("32", "sd" + "x" * 40) + probe("sda"),
}


# inputs that once made the harness or the program fail
REGRESSIONS = {
    # a request word opens the path as typed, read-write, also under /sys
    "request-word-sysfs-path": args("hdsleep", "/sys/sda") + probe("sda") + OK + ioctl(),
    # a read test of 0xffffffff requests: the harness abandons the run
    "read-huge-count": args("read", "sda", "0", "0", "ffffffff") + probe("sda") + OK,
    # a progress count that never reaches 100 ends at the poll limit
    "ow-count-stuck": args("ow", "sda") + probe("sda")
    + (OK + ioctl(0, struct.pack("<I", 99))) * 10,
}


def write(kind, inputs):
    out = os.path.join(HERE, kind)
    os.makedirs(out, exist_ok=True)
    for name, data in inputs.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(inputs)} inputs in {out}", file=sys.stderr)


def main():
    write("corpus", SEEDS)
    write("regressions", REGRESSIONS)


if __name__ == "__main__":
    main()
