#!/usr/bin/env python3
"""Writes the hand-made seeds of the control-device fuzz corpus: programs
that run whole backups (start, snapshot, map load, mmap, reads, writes under
copy-on-write, then an incremental backup with the key read back), so that
the fuzzer mutates from deep states instead of finding them by chance. The
format is the one control_device_fuzz.cpp reads; the device is its rig's
(major 1, minor 1, 1024 blocks of 4096 bytes)."""
import struct
import sys
from pathlib import Path

COMMANDS = {"start": 1, "snapshot": 2, "state": 3, "automap_state": 4, "no_load": 5,
            "load_map": 7, "get_automap": 8, "dirty": 9, "read": 10, "shutdown": 14}
KEY, BLOCK_MAP, MAP_BITS, DIRTY_OUT, AMS_OUT = 0x2000, 0x3000, 0x4000, 0x5000, 0x6000


def u8(v): return struct.pack("<B", v)
def u16(v): return struct.pack("<H", v)
def u32(v): return struct.pack("<I", v)


def user_pointer(offset):  # pointer(): kind 1, the caller's memory
    return u8(1) + u16(offset)


def mapping_pointer(slot, offset=0):  # pointer(): kind 3, into a mapping
    return u8(3) + u8(slot) + u16(offset)


def command(name, fd, record, pointer_patches=()):
    out = u8(2) + u8(COMMANDS[name]) + u8(fd) + u8(len(record)) + record
    out += u8(len(pointer_patches))
    for at, pointer in pointer_patches:
        out += u8(at // 8) + u8(0) + pointer
    return out + u8(1)  # the argument is the record


def fill(offset, data):
    return u8(8) + u16(offset) + u8(len(data)) + data


def store_pointer(offset, pointer):
    return u8(11) + u16(offset // 8) + pointer


def open_file(slot): return u8(0) + u8(slot) + u8(1)
def close_file(slot): return u8(1) + u8(slot)
def mmap(slot, fd, pages):  # read-only and private, as an agent maps it
    return u8(4) + u8(slot) + u16(pages) + u8(1) + u8(0) + u8(1) + u8(fd)  # offset 0
def munmap(slot): return u8(5) + u8(slot)
def write_block(block, fill_byte): return u8(7) + u8(fill_byte) + u16(block) + u8(1)


def read(fd, slot, start, count):
    return command("read", fd, u32(start) + u32(count) + bytes(8), [(8, mapping_pointer(slot))])


def backup(fd, key_offset, incremental, unmap_first=False):
    out = open_file(fd)
    out += command("start", fd, u32(1) + u32(1) + u32(1024) + u32(1 << 20))
    out += command("snapshot", fd, bytes(8) + u32(56) + u32(0), [(0, user_pointer(key_offset))])
    out += command("automap_state", fd, bytes(8) + u32(76) + u32(0), [(0, user_pointer(AMS_OUT))])
    out += fill(BLOCK_MAP + 8, u32(1024) + u32(0))  # mapLen counts blocks
    out += store_pointer(BLOCK_MAP, user_pointer(MAP_BITS))
    if incremental:
        out += command("get_automap", fd, bytes(8) + u32(16) + u32(0), [(0, user_pointer(BLOCK_MAP))])
    out += fill(MAP_BITS, b"\xff" * 128)
    out += command("load_map", fd, bytes(8) + u32(16) + u32(0), [(0, user_pointer(BLOCK_MAP))])
    out += mmap(0, fd, 16)
    out += read(fd, 0, 0, 16)
    for block in (20, 21, 40):
        out += write_block(block, block)
    out += command("dirty", fd, bytes(8), [(0, user_pointer(DIRTY_OUT))])
    out += read(fd, 0, 16, 16)
    out += read(fd, 0, 32, 16)
    # The mapping holds the file: its release comes with the later of the two.
    if unmap_first:
        return out + munmap(0) + close_file(fd)
    return out + close_file(fd) + munmap(0)


def main(directory):
    seeds = {
        "seed-full-then-incremental": backup(0, KEY, False) + write_block(7, 7)
        + backup(0, AMS_OUT + 20, True),
        "seed-two-files": open_file(1) + backup(0, KEY, False, unmap_first=True),
        "seed-incremental-unmapped-first": backup(0, KEY, False)
        + backup(1, AMS_OUT + 20, True, unmap_first=True),
    }
    for name, data in seeds.items():
        Path(directory, name).write_bytes(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "corpus")
