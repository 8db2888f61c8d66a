#!/usr/bin/env python3
"""Writes the control-socket fuzzer's seed inputs: whole conversations of a
client (greeting, open, commands, mappings, log and status, close) and a few
broken ones, in the fuzzer's input format. A command's argument below 64 KiB
is a place in the client's buffer; any other is a made-up address."""
import hashlib
import os
import struct
import sys

HELLO, OPEN, CLOSE, IOCTL, MMAP, MUNMAP, LOG, STATUS = range(1, 9)
GET_VERSION_MAJOR = 0x40042A0C
GET_VERSION_MINOR = 0x40042A0D
GET_STATE = 0x40102A03


def msg(op, body):
    return struct.pack("<II", op, len(body)) + body


def hello(version=1):
    return msg(HELLO, struct.pack("<II", version, 0))


def open_(path=b"/dev/velmora", flags=2):
    return msg(OPEN, struct.pack("<iI", flags, 0) + path.ljust(120, b"\0"))


def ioctl(fd, request, arg):
    return msg(IOCTL, struct.pack("<iIQQ", fd, 0, request, arg))


def mmap(fd, length=65536, prot=1, flags=1, offset=0):
    return msg(MMAP, struct.pack("<QqiiiI", length, offset, prot, flags, fd, 0))


def packets(*ps, stranger=False, attach=()):
    out = bytes([1 if stranger else 0])
    for i, p in enumerate(ps):
        out += bytes([1 if i in attach else 0]) + struct.pack("<H", len(p)) + p
    return out


SEEDS = [
    packets(hello(), open_(), ioctl(3, GET_VERSION_MAJOR, 0), msg(CLOSE, struct.pack("<iI", 3, 0))),
    packets(hello(), open_(), ioctl(3, GET_STATE, 4096), mmap(3), msg(MUNMAP, struct.pack("<QQ", 0, 65536))),
    packets(hello(), open_(), ioctl(3, GET_VERSION_MINOR, 0x7FFF00000000), ioctl(7, GET_STATE, 64)),
    packets(hello(), msg(LOG, struct.pack("<II", 4096, 0)), msg(STATUS, struct.pack("<II", 32768, 0))),
    packets(hello(), open_(), open_(), open_(b"/dev/none"), mmap(4, length=1 << 40)),
    packets(hello(), open_(), stranger=True),
    packets(open_(), hello()),
    packets(hello(2)),
    packets(hello(), hello()),
    packets(hello(), msg(IOCTL, b"\0" * 16)),
    packets(hello(), open_(), attach=(1,)),
    packets(hello(), b"\x04\x00\x00\x00"),
]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "protocol_corpus")
    os.makedirs(out, exist_ok=True)
    for seed in SEEDS:
        with open(os.path.join(out, hashlib.sha1(seed).hexdigest()), "wb") as f:
            f.write(seed)
    print(f"{len(SEEDS)} seeds in {out}")


if __name__ == "__main__":
    main()
