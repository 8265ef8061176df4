#!/usr/bin/env python3
"""Writes the two stand-in payloads that the updater carries: res/loader.bin and
res/rom-2.3.7.bin. They are our own deterministic filler shaped like the real thing
(a vector table first, a banner or version text inside), not firmware. The ROM holds
every byte value and many 0x00, 0x11 and 0x13 bytes, so that a serial link which
swallows NULs or treats XON/XOFF as flow control corrupts it visibly.

Run from the repository root: python3 tools/make_payloads.py
"""
import struct
from pathlib import Path

LOADER_SIZE = 1284
ROM_SIZE = 293736


def xorshift(seed):
    state = seed
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state & 0xFF


def vector_table():
    # Eight ARM exception vectors, each "LDR PC, [PC, #0x18]", then their eight targets.
    words = [0xE59FF018] * 8 + [0x00000040 + 4 * i for i in range(8)]
    return b"".join(struct.pack("<I", w) for w in words)


def make_loader():
    banner = b"Tavrin Kivo loader 1.0\0"
    head = vector_table()
    rand = xorshift(0x1284)
    body = bytes(next(rand) for _ in range(LOADER_SIZE - len(head) - len(banner)))
    return head + body + banner


def make_rom():
    head = vector_table()
    version = b"Tavrin Kivo GPS ROM 2.3.7\0"
    every_value = bytes(range(256))
    rand = xorshift(0x237)
    out = bytearray(head + version + every_value)
    # Runs of the bytes a careless link mangles, scattered through the image.
    special = (0x00, 0x11, 0x13)
    while len(out) < ROM_SIZE:
        b = next(rand)
        if b < 24:
            out.append(special[b % 3])
        else:
            out.append(b)
    return bytes(out[:ROM_SIZE])


def main():
    res = Path(__file__).resolve().parent.parent / "res"
    loader, rom = make_loader(), make_rom()
    assert len(loader) == LOADER_SIZE and len(rom) == ROM_SIZE
    (res / "loader.bin").write_bytes(loader)
    (res / "rom-2.3.7.bin").write_bytes(rom)


if __name__ == "__main__":
    main()
