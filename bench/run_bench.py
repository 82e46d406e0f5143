#!/usr/bin/env python3
"""Measures decomp_disk against plain copying in one run.

Builds the tool and the sample image program (Release), lays out a disk image
of the given size (two partitions with real data and a pad between them), then
alternately times `decomp_disk -d -x` on it and `cp` of the same image into
the same file system, several times each. Prints the median wall and CPU
times, their ratios, the tool's peak resident memory, and the time of print
mode on a 16 GiB sparse image. Ratios, not absolute times, are the figures to
compare: the machine is shared and its speed varies from run to run.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_size(text):
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    text = text.strip().lower().rstrip("ib")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "decomp_disk",
                    "make_disc_image"], check=True, stdout=subprocess.DEVNULL)
    return (os.path.join(build_dir, "decomp_disk"),
            os.path.join(build_dir, "sample", "make_disc_image"))


def timed(argv, cwd):
    """Runs argv; returns (wall seconds, user+system seconds, peak RSS in KiB).

    The command runs under /usr/bin/time, which forks it from a small process:
    a child forked or spawned from this interpreter would count the
    interpreter's own memory as its peak. The CPU time comes from wait4, which
    includes the waited-for command.
    """
    with tempfile.NamedTemporaryFile("r") as rss_file:
        start = time.monotonic()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_file.name] + argv,
                                cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.exit(f"{argv[0]} failed with status {proc.returncode}: {err}")
        rss = int(rss_file.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, rss


def clear_outputs(work, keep):
    for name in os.listdir(work):
        if name not in keep:
            os.unlink(os.path.join(work, name))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="2G", help="image size (default 2G)")
    ap.add_argument("--runs", type=int, default=9, help="runs of each command (default 9)")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--work-dir", default=None,
                    help="where the image and outputs go (default: a temporary folder)")
    args = ap.parse_args()

    tool, maker = build(args.build_dir)
    work = args.work_dir or tempfile.mkdtemp(prefix="decomp_disk_bench.")
    os.makedirs(work, exist_ok=True)
    try:
        image = os.path.join(work, "bench.pwx")
        subprocess.run([maker, "--size", str(parse_size(args.size)), image], check=True,
                       stdout=subprocess.DEVNULL)
        size = os.path.getsize(image)
        # Read the image once so both commands start from a warm cache.
        timed(["cat", image], work)

        tool_runs, cp_runs = [], []
        for i in range(args.runs):
            pair = [("tool", [tool, "-d", "-x", "bench.pwx"]),
                    ("cp", ["cp", "bench.pwx", "copy.pwx"])]
            if i % 2:
                pair.reverse()
            for name, argv in pair:
                clear_outputs(work, {"bench.pwx"})
                (tool_runs if name == "tool" else cp_runs).append(timed(argv, work))
        clear_outputs(work, {"bench.pwx"})

        sparse = os.path.join(work, "sparse.pwx")
        subprocess.run([maker, "--size", str(16 << 30), "--sparse", sparse], check=True,
                       stdout=subprocess.DEVNULL)
        print_runs = [timed([tool, "-d", "-p", "sparse.pwx"], work) for _ in range(args.runs)]
        start_runs = [timed(["true"], work) for _ in range(args.runs)]
    finally:
        if not args.work_dir:
            shutil.rmtree(work, ignore_errors=True)

    def med(runs, k):
        return statistics.median(r[k] for r in runs)

    tw, tc, cw, cc = med(tool_runs, 0), med(tool_runs, 1), med(cp_runs, 0), med(cp_runs, 1)
    rss = max(r[2] for r in tool_runs)
    print(f"image: {size} bytes ({size / (1 << 30):.2f} GiB), {args.runs} runs each, "
          f"alternating")
    print(f"{'':22}{'wall (s)':>10}{'cpu (s)':>10}")
    print(f"{'decomp_disk -d -x':22}{tw:10.3f}{tc:10.3f}")
    print(f"{'cp':22}{cw:10.3f}{cc:10.3f}")
    print(f"ratio wall: {tw / cw:.3f} (goal <= 1.05)   ratio cpu: "
          f"{(tc / cc if cc else float('inf')):.3f} (goal <= 1.10)")
    print(f"peak resident memory of decomp_disk: {rss / 1024:.1f} MiB (goal <= 16 MiB)")
    print(f"print mode on a 16 GiB sparse image: {med(print_runs, 0) * 1000:.1f} ms median "
          f"(goal < 20 ms; starting a process that does nothing: "
          f"{med(start_runs, 0) * 1000:.1f} ms)")


if __name__ == "__main__":
    main()
