#!/usr/bin/env python3
"""Generates the binary update data set of bench/run.sh, deterministically from a seed.

    binset.py make DIR [--files N] [--max-kib K] [--seed S]  # version 1: N files of 20 KiB to 4 MiB
    binset.py change DIR [--seed S]               # version 2, in place; prints the changed bytes

Version 1 holds N files below DIR/data/ (sizes log-uniform between 20 KiB and 4 MiB, so that
small files are common and large ones hold most of the bytes; --max-kib lowers the upper bound, for
a set of many small files). Each file is a mix of the kinds of
content a game build ships: incompressible runs (compressed textures and audio), little-endian
record tables (meshes, animation keys, balance tables), string tables and zero padding.

Version 2 changes every file in 3 to 5 scattered places of 20 to 500 bytes each (mostly bytes
overwritten in place, some inserted or removed, as a recompiled binary or a patched table does)
and replaces a few files (one in 200, at least 3) with entirely new content of a similar size.
"change" prints "changed bytes: N" with N the bytes written anew (overwritten and inserted bytes,
and the whole size of every replaced file; removed bytes count nothing).
"""

import argparse
import array
import itertools
import math
import os
import random
import struct
import sys

KIB = 1024
MIB = 1024 * KIB
MIN_SIZE = 20 * KIB
MAX_SIZE = 4 * MIB

# Byte maps: a random byte to a step of -3 to 3 (as a signed byte), and to its low 4 bits.
STEP = bytes(((b % 7) - 3) & 0xFF for b in range(256))
SMALL = bytes(b & 0x0F for b in range(256))

WORDS = (
    b"sword shield armor potion quest npc dialog spawn loot gold silver bronze iron wood stone "
    b"cloth leather dragon wolf bandit guard merchant village castle forest cave river bridge "
    b"tower gate key door chest trap fire ice poison lightning heal buff debuff cooldown range "
    b"damage speed health mana stamina level skill talent rank guild party raid boss"
).split()


def file_sizes(count, rng, max_size):
    low, high = math.log(MIN_SIZE), math.log(max_size)
    return [int(math.exp(rng.uniform(low, high))) for _ in range(count)]


def random_run(rng, size):
    return rng.randbytes(size)


def record_table(rng, size):
    # Records of 16 bytes, column by column: an increasing id, a type that changes now and then,
    # three coordinates that wander in small steps and a small value. Compresses well, but not
    # to nothing.
    count = size // 16 + 1
    table = bytearray(count * 16)
    first = rng.randrange(1 << 24)
    columns = [
        array.array("I", range(first, first + count)).tobytes(),
        b"".join(struct.pack("<H", rng.randrange(64)) * 64 for _ in range(count // 64 + 1)),
    ]
    for _ in range(3):
        steps = rng.randbytes(count).translate(STEP)
        walk = itertools.accumulate(struct.unpack("%db" % count, steps), lambda a, b: (a + b) & 0x7FFF)
        columns.append(array.array("h", walk).tobytes())
    columns.append(rng.randbytes(count * 4).translate(SMALL))
    offset = 0
    for column, width in zip(columns, (4, 2, 2, 2, 2, 4)):
        for byte in range(width):
            table[offset + byte :: 16] = column[byte : count * width : width]
        offset += width
    return bytes(table[:size])


def string_table(rng, size):
    out = b"\0".join(rng.choices(WORDS, k=size // 6 + 1))
    return out[:size]


def zero_padding(rng, size):
    return bytes(size)


# Kinds of segments with their weights: about half the bytes are incompressible.
KINDS = ((random_run, 45), (record_table, 30), (string_table, 15), (zero_padding, 10))


def content(rng, size):
    parts = []
    left = size
    while left > 0:
        segment = min(left, int(math.exp(rng.uniform(math.log(4 * KIB), math.log(512 * KIB)))))
        kind = rng.choices([k for k, _ in KINDS], weights=[w for _, w in KINDS])[0]
        parts.append(kind(rng, segment))
        left -= segment
    return b"".join(parts)


def path_of(directory, index):
    return os.path.join(directory, "data", "pack%02d" % (index % 40), "file%04d.bin" % index)


def make(directory, count, seed, max_size=MAX_SIZE):
    sizes = file_sizes(count, random.Random(seed), max_size)
    for index, size in enumerate(sizes):
        path = path_of(directory, index)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content(random.Random("%s/%d" % (seed, index)), size))
    with open(os.path.join(directory, "data", "count"), "w") as out:
        out.write("%d\n" % count)


def change(directory, seed):
    with open(os.path.join(directory, "data", "count")) as source:
        count = int(source.read())
    rng = random.Random("%s/change" % seed)
    replaced = set(rng.sample(range(count), max(3, count // 200)))
    changed = 0
    for index in range(count):
        path = path_of(directory, index)
        with open(path, "rb") as source:
            data = bytearray(source.read())
        if index in replaced:
            data = content(rng, len(data) + rng.randrange(-len(data) // 10, len(data) // 10 + 1))
            changed += len(data)
        else:
            places = rng.randrange(3, 6)
            # Scattered: one place in each of as many equal stretches of the file, latest first
            # so that insertions and removals do not move the places still to come.
            stretch = len(data) // places
            for place in reversed(range(places)):
                length = rng.randrange(20, 501)
                offset = place * stretch + rng.randrange(max(1, stretch - length))
                what = rng.random()
                if what < 0.7:
                    data[offset : offset + length] = rng.randbytes(length)
                    changed += length
                elif what < 0.85:
                    data[offset:offset] = rng.randbytes(length)
                    changed += length
                else:
                    del data[offset : offset + length]
        with open(path, "wb") as out:
            out.write(data)
    print("changed bytes: %d" % changed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=("make", "change"))
    parser.add_argument("directory")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--max-kib", type=int, default=MAX_SIZE // KIB)
    parser.add_argument("--seed", default="corvane")
    arguments = parser.parse_args()
    if arguments.action == "make":
        if not MIN_SIZE < arguments.max_kib * KIB <= MAX_SIZE:
            parser.error("--max-kib must be above %d and at most %d" % (MIN_SIZE // KIB, MAX_SIZE // KIB))
        make(arguments.directory, arguments.files, arguments.seed, arguments.max_kib * KIB)
    else:
        change(arguments.directory, arguments.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
