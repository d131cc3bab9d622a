#!/usr/bin/env python3
"""Time handing a scanned tree to Arrow, and compare a whole scan into an
Arrow table with what a Python user would write instead.

usage: bench_arrow.py [DEST] [--runs R]

DEST is the benchmark tree of bench_scan.py (built there if missing). In one
run this times `pyarrow.table(tree)` on its own, `tallmap.scan()` followed by
`pyarrow.table()`, and an `os.scandir` walk that sums `st_blocks` per folder
(counting each multiply-linked file once, not crossing devices) into a
pyarrow table with the same columns; best of R runs each.
"""
import argparse
import os
import stat
import sys
import time

import pyarrow

import tallmap

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_scan import build_tree  # noqa: E402


def scandir_table(root):
    ids, parents, names, owns = [], [], [], []
    seen_links = set()
    root_dev = os.stat(root).st_dev
    stack = [(root, None, root)]
    while stack:
        path, parent, name = stack.pop()
        me = len(ids)
        ids.append(me)
        parents.append(parent)
        names.append(name)
        st = os.lstat(path) if parent is not None else os.stat(path)
        own = st.st_blocks * 512
        subdirs = []
        try:
            with os.scandir(path) as it:
                for e in it:
                    s = e.stat(follow_symlinks=False)
                    if stat.S_ISDIR(s.st_mode):
                        if s.st_dev == root_dev:
                            subdirs.append((e.path, me, e.name))
                        continue
                    if s.st_nlink > 1:
                        key = (s.st_dev, s.st_ino)
                        if key in seen_links:
                            continue
                        seen_links.add(key)
                    own += s.st_blocks * 512
        except OSError:
            pass
        owns.append(own)
        stack.extend(subdirs)
    sizes = list(owns)
    for i in range(len(ids) - 1, 0, -1):
        if parents[i] is not None:
            sizes[parents[i]] += sizes[i]
    return pyarrow.table({
        "id": pyarrow.array(ids, pyarrow.uint32()),
        "parent": pyarrow.array(parents, pyarrow.uint32()),
        "name": pyarrow.array(names).dictionary_encode(),
        "size": pyarrow.array(sizes, pyarrow.uint64()),
        "own": pyarrow.array(owns, pyarrow.uint64()),
    })


def best(runs, fn):
    times, result = [], None
    for _ in range(runs):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dest", nargs="?", default="/tmp/tallmap-bench-tree")
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    build_tree(a.dest, 1_000_000)
    tree = tallmap.scan(a.dest)  # also warms the page cache

    export, table = best(max(a.runs, 10), lambda: pyarrow.table(tree))
    ours, _ = best(a.runs, lambda: pyarrow.table(tallmap.scan(a.dest)))
    theirs, their_table = best(a.runs, lambda: scandir_table(a.dest))

    print(f"tree: {a.dest}, {table.num_rows} folders, best of {a.runs}, "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"pyarrow.table(tree)                 {export * 1000:8.1f} ms")
    print(f"tallmap.scan() + pyarrow.table()    {ours:8.2f} s")
    print(f"os.scandir walk into pyarrow table  {theirs:8.2f} s   "
          f"({theirs / ours:.1f}x slower, {their_table.num_rows} rows)")


if __name__ == "__main__":
    main()
