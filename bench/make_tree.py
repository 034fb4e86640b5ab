#!/usr/bin/env python3
"""Builds the benchmark's big trees of empty single-link files, fast.

  make_tree.py spread DIR COUNT   COUNT files, 100 to a directory, the
                                  directories 100 to a parent: 1,000,000
                                  files make 10,101 directories
  make_tree.py flat DIR COUNT     COUNT files in DIR itself, 10-byte names

DIR must not exist; it is built under DIR.partial and renamed when done.
"""
import os
import sys

PER_DIRECTORY = 100


def make_files(dir_fd, count, name_format):
    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY | os.O_CLOEXEC
    for i in range(count):
        os.close(os.open(name_format % i, flags, 0o644, dir_fd=dir_fd))


def spread(top, count):
    leaves = -(-count // PER_DIRECTORY)
    made = 0
    for leaf in range(leaves):
        parent = os.path.join(top, "d%03d" % (leaf // PER_DIRECTORY))
        if leaf % PER_DIRECTORY == 0:
            os.mkdir(parent)
        path = os.path.join(parent, "e%03d" % (leaf % PER_DIRECTORY))
        os.mkdir(path)
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            n = min(PER_DIRECTORY, count - made)
            make_files(fd, n, "file%05d.dat")
            made += n
        finally:
            os.close(fd)


def flat(top, count):
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        make_files(fd, count, "f%09d")  # ten bytes
    finally:
        os.close(fd)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("spread", "flat"):
        sys.stderr.write(__doc__)
        return 2
    kind, top, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if os.path.exists(top):
        sys.stderr.write("make_tree.py: %s exists\n" % top)
        return 2
    partial = top + ".partial"
    if os.path.exists(partial):
        import shutil
        shutil.rmtree(partial)
    os.mkdir(partial)
    (spread if kind == "spread" else flat)(partial, count)
    os.rename(partial, top)
    return 0


if __name__ == "__main__":
    sys.exit(main())
