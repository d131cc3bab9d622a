#!/usr/bin/env python3
"""Time a full scan against du (and ncdu, gdu when installed) on a big tree.

usage: bench_scan.py [DEST] [--files N] [--runs R] [--driver BIN]

Builds the benchmark tree once (reused when DEST exists), warms the page
cache with one du pass, then times `tallmap.scan()` in a fresh Python
process, the `tallmap scan` and `tallmap show` commands, `du -sx`,
`ncdu -x -o /dev/null` and `gdu -n -p -s -x`, best of R runs each, and prints
wall times, ratios to du and peak memory. --driver also times a build of
bench/scan_main.cpp (the engine without Python); without an importable
tallmap module only the driver is timed.
"""
import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

# The shared folder sits beside the checkout.
MAKE_TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                         "bench", "make_tree.py")
TIME = "/usr/bin/time"

# Runs in a fresh interpreter so that its peak RSS is the scan's alone.
SCAN_CHILD = r"""
import sys, time, resource
import tallmap
t = time.perf_counter()
tree = tallmap.scan(sys.argv[1])
wall = time.perf_counter() - t
print(wall, tree.size(0), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def build_tree(dest, files):
    if os.path.isdir(dest):
        return
    print(f"building {dest} with {files} files ...", flush=True)
    subprocess.run([sys.executable, MAKE_TREE, dest, "--files", str(files)], check=True)


def run_timed(argv, env=None):
    """Wall seconds, peak RSS (KiB) and output of one child process."""
    # RUSAGE_CHILDREN keeps the maximum over all children so far, so a small
    # child after a big one would show the big one's peak: ask /usr/bin/time
    # for each child's own peak when it is there.
    rss_file = None
    if os.path.exists(TIME):
        rss_file = tempfile.NamedTemporaryFile("r", prefix="bench-rss-")
        argv = [TIME, "-f", "%M", "-o", rss_file.name] + argv
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    t = time.perf_counter()
    out = subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True, env=env).stdout
    wall = time.perf_counter() - t
    if rss_file:
        rss = int(rss_file.read().split()[-1])
        rss_file.close()
    else:
        after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        rss = after if after > before else None
    return wall, rss, out


def best_of(runs, argv, env=None):
    best = None
    for _ in range(runs):
        wall, rss, out = run_timed(argv, env)
        if best is None or wall < best[0]:
            best = (wall, rss, out)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dest", nargs="?", default="/tmp/tallmap-bench-tree")
    ap.add_argument("--files", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--driver", help="a scan_main binary built from bench/scan_main.cpp")
    a = ap.parse_args()

    build_tree(a.dest, a.files)
    subprocess.run(["du", "-sx", a.dest], check=True, stdout=subprocess.DEVNULL)  # warm the cache

    rows = []
    has_module = subprocess.run([sys.executable, "-c", "import tallmap"],
                                stderr=subprocess.DEVNULL).returncode == 0
    if has_module:
        wall, _, out = best_of(a.runs, [sys.executable, "-c", SCAN_CHILD, a.dest])
        scan_wall, scan_bytes, scan_rss = out.split()
        rows.append(("tallmap.scan()", wall, int(scan_rss),
                     f"{int(scan_bytes)} bytes, {float(scan_wall):.2f} s inside Python"))
    else:
        print("tallmap module not importable: timing the driver only", file=sys.stderr)
    cli = shutil.which("tallmap")
    if cli:
        cache = tempfile.TemporaryDirectory(prefix="bench-cache-")
        env = dict(os.environ, TALLMAP_CACHE_DIR=cache.name)
        wall, rss, _ = best_of(a.runs, [cli, "scan", a.dest], env)
        rows.append(("tallmap scan", wall, rss, "text report, scan saved"))
        cli_scan_wall = wall
        # show reads the saved scan in place: many runs, since each is short.
        wall, rss, _ = best_of(max(a.runs, 10), [cli, "show", a.dest], env)
        rows.append(("tallmap show", wall, rss,
                     f"1/{cli_scan_wall / wall:.0f} of tallmap scan"))
    if a.driver:
        wall, rss, out = best_of(a.runs, [a.driver, a.dest])
        rows.append(("scan_main", wall, rss, out.strip()))

    wall, rss, out = best_of(a.runs, ["du", "-sx", "-B1", a.dest])
    rows.append(("du -sx", wall, rss, f"{out.split()[0]} bytes"))
    du_wall = wall

    if shutil.which("ncdu"):
        wall, rss, _ = best_of(a.runs, ["ncdu", "-x", "-o", "/dev/null", a.dest])
        rows.append(("ncdu -x -o", wall, rss, ""))

    if shutil.which("gdu"):
        wall, rss, _ = best_of(a.runs, ["gdu", "-n", "-p", "-s", "-x", a.dest])
        rows.append(("gdu -n -p -s -x", wall, rss, ""))

    print(f"tree: {a.dest}, best of {a.runs}, load average {os.getloadavg()[0]:.2f}")
    print(f"{'command':<18} {'wall s':>8} {'vs du':>7} {'peak RSS':>10}  notes")
    for name, wall, rss, note in rows:
        mem = f"{rss / 1024:.1f} MB" if rss else "-"
        print(f"{name:<18} {wall:8.2f} {wall / du_wall:6.2f}x {mem:>10}  {note}")


if __name__ == "__main__":
    main()
