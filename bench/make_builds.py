#!/usr/bin/python3
"""Writes two installation trees for the package benchmarks: OLD, and NEW made from it the
way a product update changes files. Usage: make_builds.py OLD NEW [TOTAL_MIB]

About TOTAL_MIB (default 200) of executable-like data in a few hundred files, among them
four large binaries; in NEW a tenth of the files carry small edits (bytes changed,
inserted and appended), a few files are added and a few deleted. Deterministic."""
import os
import random
import sys


def executable_like(total):
    """Bytes of the machine's libraries and programs, cut to total."""
    out = bytearray()
    for root in ("/usr/lib/x86_64-linux-gnu", "/usr/bin"):
        for name in sorted(os.listdir(root)):
            path = os.path.join(root, name)
            if os.path.isfile(path) and not os.path.islink(path) and os.path.getsize(path) > 65536:
                with open(path, "rb") as f:
                    out += f.read(total - len(out))
                if len(out) >= total:
                    return bytes(out)
    rng = random.Random(3)
    while len(out) < total:
        out += bytes(rng.getrandbits(8) if i % 5 == 0 else 0x90 for i in range(65536))
    return bytes(out[:total])


def edit(data, rng):
    data = bytearray(data)
    for _ in range(rng.randint(2, 8)):
        at = rng.randrange(len(data))
        data[at:at + 16] = bytes(rng.getrandbits(8) for _ in range(16))
    at = rng.randrange(len(data))
    data[at:at] = b"inserted by the update" * rng.randint(1, 20)
    return bytes(data) + b"appended"


def write(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    old_root, new_root = sys.argv[1], sys.argv[2]
    total = int(sys.argv[3]) << 20 if len(sys.argv) > 3 else 200 << 20
    rng = random.Random(1)
    pool = executable_like(total)
    files = {}
    at = 0
    large = total // 10
    for i in range(4):
        files["bin/engine%d.dll" % i] = pool[at:at + large]
        at += large
    n = 0
    while at < len(pool):
        size = min(rng.choice((4096, 30000, 150000, 600000, 2000000)), len(pool) - at)
        directory = ("data/maps", "data/models", "data/sounds", "bin", "data/scripts")[n % 5]
        files["%s/file%04d.%s" % (directory, n, ("dat", "ka", "dll", "lua")[n % 4])] = pool[at:at + size]
        at += size
        n += 1
    names = sorted(files)
    for rel in names:
        write(old_root, rel, files[rel])
    changed = set(rng.sample(names, len(names) // 10)) | {"bin/engine0.dll", "bin/engine1.dll"}
    deleted = set(rng.sample(sorted(set(names) - changed), 5))
    for rel in names:
        if rel in deleted:
            continue
        write(new_root, rel, edit(files[rel], rng) if rel in changed else files[rel])
    for i in range(5):
        write(new_root, "data/added/new%d.dat" % i, pool[i * 100000:(i + 1) * 100000][::-1])
    print("%d files, %d changed, %d deleted, 5 added" % (len(names), len(changed), len(deleted)))


main()
