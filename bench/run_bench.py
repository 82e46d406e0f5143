#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Measures decomp_disk against its baselines, in one run.

Every scenario runs the tool and its baselines in turn (the order alternating
from round to round), after one discarded warm-up round, at least five rounds
each; before every run the previous outputs are removed and `sync` is called,
so no run pays for another's write-back. Each figure is printed as
min / median / max; peak memory comes from /usr/bin/time (%M), the largest
single process. Ratios are taken run by run against the baseline of the same
round. Absolute times vary with the shared machine: compare ratios.

Scenarios (all by default; choose with --scenario, more than once):
  hostile  images that declare far more than they hold: memory and time
  dense    a dense image, extract mode against cp and one whole-file
           copy_file_range (the floor)
  sparse   images with holes: time and allocated bytes of the outputs
  reflink  a loop-mounted XFS with reflink=1 (root only; installs xfsprogs)
  report   print mode on a 100k-entry table into a file, against a build of
           an earlier commit (--baseline)
  disc     a dense image of disc size (4.7 GiB) against cp, each timing
           ending with sync, every run from a cold page cache (at least 7
           pairs)

--tool LABEL=PATH adds another build of the tool to the dense, sparse and
disc scenarios, and --posix the tool built on the generic POSIX platform
seam (-DDECOMP_PLATFORM=posix, what the BSDs get), so that builds are
compared side by side in one run.
  crossfs  a sparse 2 GiB image on a tmpfs extracted through a symbolic link
           into a folder on the work folder's file system, against cp
"""

import argparse
import glob
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GiB = 1 << 30
MiB = 1 << 20
# The commit before the copy path learnt holes, sharing and full buffering.
DEFAULT_BASELINE = "19a42f7"


def run_quiet(argv, **kw):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kw)


def find_program(build_dir, name):
    hits = [p for p in glob.glob(os.path.join(build_dir, "**", name), recursive=True)
            if os.path.isfile(p) and os.access(p, os.X_OK)]
    if not hits:
        sys.exit(f"{name} not found under {build_dir}")
    return min(hits, key=len)


def build(source, build_dir, targets, options=()):
    run_quiet(["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
               "-DDECOMP_TESTS=OFF", *options])
    run_quiet(["cmake", "--build", build_dir, "-j2", "--target"] + targets)
    return {t: find_program(build_dir, t) for t in targets}


_baselines = {}


def build_baseline(rev):
    """The tool as it was at `rev`, built once per run from a worktree that
    lives only for the build (always at the same place, which the build
    folder's cache remembers) into build-bench-<rev>/."""
    if rev not in _baselines:
        base = os.path.join(ROOT, f"build-bench-{rev}")
        tree = os.path.join(base, "src")
        os.makedirs(base, exist_ok=True)
        run_quiet(["git", "-C", ROOT, "worktree", "add", "--detach", "-f", tree, rev],
                  stderr=subprocess.DEVNULL)
        try:
            _baselines[rev] = build(tree, os.path.join(base, "build"),
                                    ["decomp_disk"])["decomp_disk"]
        finally:
            run_quiet(["git", "-C", ROOT, "worktree", "remove", "--force", tree])
    return _baselines[rev]


class Run:
    def __init__(self, wall, cpu, rss_kib, status):
        self.wall, self.cpu, self.rss, self.status = wall, cpu, rss_kib, status


def timed(argv, cwd, stdout_path=os.devnull, sync=False):
    """One run under /usr/bin/time: wall, user+system CPU, peak RSS, status.
    With `sync`, the command runs as `sh -c 'CMD && sync'`, so the time
    includes writing its outputs back to the disk; the CPU time is then that
    of sh, the command and sync together (what the kernel's flusher threads
    spend writing back is counted for no one)."""
    if sync:
        argv = ["sh", "-c", shlex.join(argv) + " && sync"]
    with tempfile.NamedTemporaryFile("r") as report, open(stdout_path, "wb") as out:
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-q", "-f", "%U %S %M %x", "-o", report.name]
                              + argv, cwd=cwd, stdout=out, stderr=subprocess.DEVNULL)
        wall = time.monotonic() - start
        fields = report.read().split()
    if len(fields) < 4:  # killed by a signal: time prints a note first
        return Run(wall, 0.0, 0, proc.returncode)
    user, system, rss, status = fields[-4:]
    return Run(wall, float(user) + float(system), int(rss), int(status))


def clean(work, keep, settle=0.0):
    """Removes the outputs of the last run and writes everything back. On a
    file system mounted with online discard (as the development machines'
    root is), the disk is still busy discarding the removed GiBs for a while
    after sync returns, and a run that starts then is slowed by whatever came
    before it: `settle` seconds of rest let that pass."""
    for name in os.listdir(work):
        if name not in keep:
            path = os.path.join(work, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
    subprocess.run(["sync"], check=True)
    if settle:
        time.sleep(settle)


def drop_cached(work):
    """Writes every file in `work` back and asks the kernel to forget its
    pages (fsync, then POSIX_FADV_DONTNEED), without root: the next run
    reads its input from the disk, as after a reboot, and finds none of the
    previous outputs in the page cache."""
    for name in os.listdir(work):
        path = os.path.join(work, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def resident_bytes(path):
    """How much of `path` is in the page cache (util-linux's fincore), or
    None where fincore is missing."""
    if shutil.which("fincore") is None:
        return None
    out = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                         capture_output=True, text=True)
    try:
        return int(out.stdout.split()[0])
    except (IndexError, ValueError):
        return None


def alternate(commands, runs, work, keep, stdout_path=os.devnull, settle=0.0, cold=False,
              sync=False, log=False):
    """Runs every command once to warm up, then `runs` rounds in turn,
    rotating the order each round. With `cold`, the page cache forgets every
    file in `work` before each run (drop_cached); with `sync`, each timing
    ends with a sync (see timed); with `log`, each run's times go to standard
    error as it ends (for scenarios that take minutes). Returns
    {name: [Run, ...]}."""
    names = list(commands)
    results = {n: [] for n in names}
    for round_no in range(runs + 1):
        shift = round_no % len(names)
        for name in names[shift:] + names[:shift]:
            if cold:
                drop_cached(work)
            clean(work, keep, settle)
            r = timed(commands[name], work, stdout_path, sync=sync)
            if log:
                print(f"  round {round_no}/{runs}{' (warm-up)' if round_no == 0 else ''} "
                      f"{name}: wall {r.wall:.2f} s, cpu {r.cpu:.2f} s", file=sys.stderr,
                      flush=True)
            if round_no > 0:
                results[name].append(r)
    clean(work, keep)
    return results


def spread(values, fmt="{:.3f}"):
    return " / ".join(fmt.format(v) for v in (min(values), statistics.median(values),
                                               max(values)))


def ratios(a, b, key):
    return [key(x) / key(y) for x, y in zip(a, b) if key(y) > 0]


def print_table(results, title):
    print(f"\n{title}")
    print(f"  {'command':34}{'wall s min/med/max':>26}{'cpu s min/med/max':>26}{'peak MiB':>10}"
          f"{'status':>8}")
    for name, rs in results.items():
        statuses = sorted({r.status for r in rs})
        print(f"  {name:34}{spread([r.wall for r in rs]):>26}{spread([r.cpu for r in rs]):>26}"
              f"{max(r.rss for r in rs) / 1024:10.1f}{','.join(map(str, statuses)):>8}")


def allocated(path):
    return os.stat(path).st_blocks * 512


def make_image(maker, path, *flags):
    run_quiet([maker] + [str(f) for f in flags] + [path])
    return path


# ---------------------------------------------------------------------------

def scenario_hostile(tools, args, work):
    """Images whose declared sizes and counts are far beyond what they hold."""
    maker = tools["make_disc_image"]
    # (label, builder flags, modes). A million entries in extract mode would
    # time the creation of a million files: print mode shows what reading
    # costs there.
    images = [
        ("1 GiB, one entry spanning", ["--hostile", 1, "--size", GiB], ["-p", "-x"]),
        ("1 GiB, 8 entries spanning", ["--hostile", 8, "--size", GiB], ["-p", "-x"]),
        ("1 GiB, 1M entries spanning", ["--hostile", 1_000_000, "--size", GiB], ["-p"]),
        ("2M-entry table, 2nd past end", ["--long-table", 2_000_000, "--second-past-end"],
         ["-p", "-x"]),
    ]
    worst_rss = 0
    for label, flags, modes in images:
        make_image(maker, os.path.join(work, "h.pwx"), *flags)
        on_disk = allocated(os.path.join(work, "h.pwx"))
        commands = {f"decomp_disk -d {m}": [tools["decomp_disk"], "-d", m, "h.pwx"]
                    for m in modes}
        if label.startswith("1 GiB, one entry"):  # the one the old tool finishes soon
            commands[f"{args.baseline} -d -p"] = [build_baseline(args.baseline), "-d", "-p",
                                                  "h.pwx"]
        results = alternate(commands, args.runs, work, {"h.pwx"})
        print_table(results, f"hostile: {label} ({os.path.getsize(os.path.join(work, 'h.pwx'))}"
                             f" bytes, {on_disk // 1024} KiB on disk)")
        worst_rss = max([worst_rss] + [r.rss for name, rs in results.items()
                                       if name.startswith("decomp_disk") for r in rs])
        if "8 entries" in label:
            med = statistics.median(r.wall for r in results["decomp_disk -d -p"])
            print(f"  goal: print mode under 0.5 s: median {med:.3f} s "
                  f"{'MET' if med < 0.5 else 'MISSED'}")
    print(f"\n  goal: peak RSS at most 16 MiB on every hostile input: {worst_rss / 1024:.1f} MiB "
          f"{'MET' if worst_rss <= 16 * 1024 else 'MISSED'}")


def scenario_dense(tools, args, work):
    maker = tools["make_disc_image"]
    for size in args.dense_sizes:
        make_image(maker, os.path.join(work, "d.pwx"), "--dense", "--size", size)
        commands = {"decomp_disk -d -x": [tools["decomp_disk"], "-d", "-x", "d.pwx"],
                    "cp": ["cp", "d.pwx", "copy.pwx"],
                    "whole_file_copy (floor)": [tools["whole_file_copy"], "d.pwx", "copy.pwx"]}
        for label, path in args.tool:
            commands[label] = [path, "-d", "-x", "d.pwx"]
        res = alternate(commands, args.runs, work, {"d.pwx"}, settle=args.settle)
        print_table(res, f"dense {size / GiB:.0f} GiB image on {fs_type(work)} "
                         f"({args.settle:g} s of rest before each run)")
        tool, cp, floor = res["decomp_disk -d -x"], res["cp"], res["whole_file_copy (floor)"]
        wall_r = ratios(tool, cp, lambda r: r.wall)
        cpu_r = ratios(tool, cp, lambda r: r.cpu)
        print(f"  tool/cp wall {spread(wall_r)} "
              f"(goal median <= 1.00: {'MET' if statistics.median(wall_r) <= 1.0 else 'MISSED'})")
        print(f"  tool/cp cpu  {spread(cpu_r)} "
              f"(goal median <= 1.05: {'MET' if statistics.median(cpu_r) <= 1.05 else 'MISSED'})")
        print(f"  tool/floor wall {spread(ratios(tool, floor, lambda r: r.wall))}")
        for label, _ in args.tool:
            print(f"  {label}/cp wall {spread(ratios(res[label], cp, lambda r: r.wall))}, "
                  f"cpu {spread(ratios(res[label], cp, lambda r: r.cpu))}")


def outputs_allocated(work, keep):
    return sum(allocated(os.path.join(work, n)) for n in os.listdir(work) if n not in keep)


def scenario_sparse(tools, args, work):
    maker = tools["make_disc_image"]
    cases = [("4 GiB, 1 MiB of data every 64 MiB", ["--holes", "--size", 4 * GiB], "cp"),
             ("16 GiB, almost all holes", ["--sparse", "--size", 16 * GiB], None)]
    for label, flags, baseline in cases:
        image = make_image(maker, os.path.join(work, "s.pwx"), *flags)
        commands = {"decomp_disk -d -x": [tools["decomp_disk"], "-d", "-x", "s.pwx"]}
        if baseline:
            commands["cp"] = ["cp", "s.pwx", "copy.pwx"]
        for extra, path in args.tool:
            commands[extra] = [path, "-d", "-x", "s.pwx"]
        res = alternate(commands, args.runs, work, {"s.pwx"})
        print_table(res, f"sparse: {label}")
        # One more run of each build to look at what the outputs allocate.
        in_alloc = allocated(image)
        for name in [n for n in commands if n != "cp"]:
            clean(work, {"s.pwx"})
            timed(commands[name], work)
            subprocess.run(["sync"], check=True)
            allocs = outputs_allocated(work, {"s.pwx"})
            if name == "decomp_disk -d -x":
                out_alloc = allocs
            print(f"  allocated: input {in_alloc / MiB:.2f} MiB, outputs of {name} "
                  f"{allocs / MiB:.2f} MiB")
        clean(work, {"s.pwx"})
        med = statistics.median(r.wall for r in res["decomp_disk -d -x"])
        if baseline:
            cp_med = statistics.median(r.wall for r in res["cp"])
            print(f"  goal: outputs <= input + 1 MiB: "
                  f"{'MET' if out_alloc <= in_alloc + MiB else 'MISSED'}; "
                  f"median wall <= cp + 0.1 s ({med:.3f} vs {cp_med:.3f}): "
                  f"{'MET' if med <= cp_med + 0.1 else 'MISSED'}")
        else:
            print(f"  goal: under 0.5 s and 1 MiB allocated: median {med:.3f} s, "
                  f"{out_alloc / MiB:.2f} MiB: "
                  f"{'MET' if med < 0.5 and out_alloc < MiB else 'MISSED'}")


def fs_type(path):
    """The mounted file system's type (ext4, not stat's "ext2/ext3")."""
    out = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "--target", path],
                         capture_output=True, text=True)
    if out.returncode != 0 or not out.stdout.strip():
        out = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True)
    lines = out.stdout.split()
    return lines[-1] if lines else "?"  # the last of mounts stacked on one folder


def free_blocks_bytes(path):
    subprocess.run(["sync"], check=True)
    st = os.statvfs(path)
    return st.f_bfree * st.f_frsize


def scenario_reflink(tools, args, work):
    if os.geteuid() != 0:
        print("\nreflink: skipped (needs root to loop-mount a file system)")
        return
    if shutil.which("mkfs.xfs") is None:
        install = subprocess.run(["apt-get", "install", "-y", "-qq", "xfsprogs"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if install.returncode != 0 or shutil.which("mkfs.xfs") is None:
            print("\nreflink: skipped (mkfs.xfs missing and xfsprogs could not be installed)")
            return
    backing = os.path.join(work, "xfs.img")
    mount = os.path.join(work, "xfs")
    os.makedirs(mount)
    with open(backing, "wb") as f:
        f.truncate(6 * GiB)
    try:
        run_quiet(["mkfs.xfs", "-q", "-m", "reflink=1", backing])
        if subprocess.run(["mount", "-o", "loop", backing, mount]).returncode != 0:
            print("\nreflink: skipped (the XFS image could not be mounted)")
            return
        try:
            reflink_runs(tools, args, mount)
        finally:
            subprocess.run(["umount", mount])
    finally:
        os.unlink(backing)


def reflink_runs(tools, args, mount):
    make_image(tools["make_disc_image"], os.path.join(mount, "r.pwx"), "--dense", "--size",
               2 * GiB)
    commands = {"decomp_disk -d -x": [tools["decomp_disk"], "-d", "-x", "r.pwx"],
                "cp --reflink=always": ["cp", "--reflink=always", "r.pwx", "copy.pwx"]}
    res = alternate(commands, args.runs, mount, {"r.pwx"})
    print_table(res, "reflink: 2 GiB dense image on a loop-mounted XFS (reflink=1)")
    new_blocks = {}
    for name, argv in commands.items():
        clean(mount, {"r.pwx"})
        before = free_blocks_bytes(mount)
        timed(argv, mount)
        new_blocks[name] = before - free_blocks_bytes(mount)
        print(f"  new data blocks, {name}: {new_blocks[name] / 1024:.0f} KiB")
    clean(mount, {"r.pwx"})
    tool = statistics.median(r.wall for r in res["decomp_disk -d -x"])
    cp = statistics.median(r.wall for r in res["cp --reflink=always"])
    print(f"  goal: at most 64 KiB of new blocks: "
          f"{'MET' if new_blocks['decomp_disk -d -x'] <= 64 * 1024 else 'MISSED'}; "
          f"median wall <= cp + 2 ms ({tool * 1000:.1f} vs {cp * 1000:.1f} ms): "
          f"{'MET' if tool <= cp + 0.002 else 'MISSED'}")


def scenario_report(tools, args, work):
    baseline = build_baseline(args.baseline)
    make_image(tools["make_disc_image"], os.path.join(work, "t.pwx"), "--long-table", 100_000)
    report = os.path.join(work, "report.txt")
    commands = {"decomp_disk -d -p >file": [tools["decomp_disk"], "-d", "-p", "t.pwx"],
                f"{args.baseline} -d -p >file": [baseline, "-d", "-p", "t.pwx"]}
    keep = {"t.pwx"}
    res = alternate(commands, args.runs, work, keep, stdout_path=report)
    print_table(res, "report: print mode on a 100k-entry table, report to a file")
    cpu_r = ratios(res["decomp_disk -d -p >file"], res[f"{args.baseline} -d -p >file"],
                   lambda r: r.cpu)
    print(f"  tool/{args.baseline} cpu {spread(cpu_r)} "
          f"(goal median <= 0.60: {'MET' if statistics.median(cpu_r) <= 0.6 else 'MISSED'})")


def free_space(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def print_ratios(label, values, goal=None):
    """The ratios pair by pair, then min / median / max, and the goal on the
    median when there is one."""
    line = f"  {label:28}{spread(values, '{:.2f}'):>20}   pairs: " + \
        " ".join(f"{v:.2f}" for v in values)
    if goal is not None:
        line += (f"   (goal median <= {goal:.2f}: "
                 f"{'MET' if statistics.median(values) <= goal else 'MISSED'})")
    print(line)


def scenario_disc(tools, args, work):
    """A disc-sized dense image, as a user waits for it: from a cold page
    cache to the outputs on the disk."""
    need = 12 * GiB
    if free_space(work) < need:
        print(f"\ndisc: skipped ({free_space(work) / GiB:.1f} GiB free in {work}, "
              f"needs {need / GiB:.0f} GiB for the image and one copy of it)")
        return
    runs = max(args.runs, 7)
    image = make_image(tools["make_disc_image"], os.path.join(work, "disc.pwx"), "--dense",
                       "--size", args.disc_size)
    tool = "decomp_disk -d -x"
    commands = {tool: [tools["decomp_disk"], "-d", "-x", "disc.pwx"],
                "cp": ["cp", "disc.pwx", "copy.pwx"]}
    for label, path in args.tool:
        commands[label] = [path, "-d", "-x", "disc.pwx"]
    size = os.path.getsize(image)
    drop_cached(work)
    cached = resident_bytes(image)
    try:
        res = alternate(commands, runs, work, {"disc.pwx"}, settle=args.settle, cold=True,
                        sync=True, log=True)
    finally:
        os.unlink(image)
    print_table(res, f"disc: dense {size / GiB:.2f} GiB image on "
                     f"{fs_type(work)}, each timing ending with sync, cold page cache "
                     f"before every run ({args.settle:g} s of rest)")
    if cached is not None:
        print(f"  the image's pages in the page cache after a drop: {cached // 1024} KiB")
    print("  cpu = user + system of sh, the command and sync; ratios pair by pair, in "
          "round order:")
    for name in commands:
        if name == "cp":
            continue
        goal = 1.00 if name == tool else None
        print_ratios(f"{name}/cp wall", ratios(res[name], res["cp"], lambda r: r.wall), goal)
        print_ratios(f"{name}/cp cpu", ratios(res[name], res["cp"], lambda r: r.cpu), goal)
        if name != tool:
            print_ratios(f"{name}/{tool} wall", ratios(res[name], res[tool], lambda r: r.wall))
            print_ratios(f"{name}/{tool} cpu", ratios(res[name], res[tool], lambda r: r.cpu))


def scenario_crossfs(tools, args, work):
    """A sparse image on a tmpfs, extracted into the work folder's file
    system through a symbolic link: the kernel cannot copy across file
    systems, so the holes are the copy's own to keep."""
    shm = "/dev/shm"
    if not os.path.isdir(shm) or fs_type(shm) != "tmpfs":
        print(f"\ncrossfs: skipped ({shm} is missing or not a tmpfs)")
        return
    if free_space(work) < 5 * GiB:
        print(f"\ncrossfs: skipped ({free_space(work) / GiB:.1f} GiB free in {work}, "
              f"needs 5 GiB)")
        return
    source = tempfile.mkdtemp(prefix="decomp_disk_bench.", dir=shm)
    out = os.path.join(work, "crossfs")
    os.makedirs(out, exist_ok=True)
    try:
        image = make_image(tools["make_disc_image"], os.path.join(source, "c.pwx"), "--sparse",
                           "--size", 2 * GiB)
        os.symlink(image, os.path.join(out, "c.pwx"))
        commands = {"decomp_disk -d -x": [tools["decomp_disk"], "-d", "-x", "c.pwx"],
                    "cp": ["cp", "c.pwx", "copy.pwx"]}
        keep = {"c.pwx"}
        res = alternate(commands, args.runs, out, keep, settle=args.settle, sync=True)
        alloc = {}
        for name, argv in commands.items():  # one more run each, to look at the outputs
            clean(out, keep, args.settle)
            timed(argv, out, sync=True)
            alloc[name] = outputs_allocated(out, keep)
        clean(out, keep)
        in_alloc = allocated(image)
        print_table(res, f"crossfs: sparse 2 GiB image on {shm} (tmpfs) through a symbolic "
                         f"link into {fs_type(out)}, each timing ending with sync")
        print(f"  allocated: input {in_alloc / 1024:.0f} KiB; outputs of decomp_disk "
              f"{alloc['decomp_disk -d -x'] / MiB:.2f} MiB, of cp {alloc['cp'] / MiB:.2f} MiB")
        med = statistics.median(r.wall for r in res["decomp_disk -d -x"])
        cp_med = statistics.median(r.wall for r in res["cp"])
        print(f"  goal: outputs <= input + 1 MiB: "
              f"{'MET' if alloc['decomp_disk -d -x'] <= in_alloc + MiB else 'MISSED'}; "
              f"median wall <= cp + 0.1 s ({med:.3f} vs {cp_med:.3f}): "
              f"{'MET' if med <= cp_med + 0.1 else 'MISSED'}")
    finally:
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(source, ignore_errors=True)


SCENARIOS = {"hostile": scenario_hostile, "dense": scenario_dense, "sparse": scenario_sparse,
             "reflink": scenario_reflink, "report": scenario_report, "disc": scenario_disc,
             "crossfs": scenario_crossfs}



def parse_size(text):
    """"1G", "4.7G", "512M" or a number of bytes."""
    units = {"G": GiB, "M": MiB}
    if text[-1:] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="\n".join(__doc__.splitlines()[1:]))
    ap.add_argument("--scenario", action="append", choices=list(SCENARIOS),
                    help="run only this scenario (repeatable)")
    ap.add_argument("--runs", type=int, default=5, help="counted runs of each command (>= 5)")
    ap.add_argument("--dense-sizes", default="1G,4G", help="dense image sizes (default 1G,4G)")
    ap.add_argument("--settle", type=float, default=3.0,
                    help="seconds of rest before each dense run, for the disk to finish "
                         "discarding what the last run wrote (default 3)")
    ap.add_argument("--disc-size", default="4.7G",
                    help="size of the disc scenario's dense image (default 4.7G)")
    ap.add_argument("--tool", "--disc-tool", dest="tool", action="append", default=[],
                    metavar="LABEL=PATH",
                    help="another build of decomp_disk to run in the dense, sparse and disc "
                         "scenarios beside the current one (repeatable)")
    ap.add_argument("--posix", action="store_true",
                    help="add the tool built on the generic POSIX platform seam")
    ap.add_argument("--baseline", default=DEFAULT_BASELINE,
                    help=f"commit whose build is the report baseline (default {DEFAULT_BASELINE})")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--work-dir", default=None,
                    help="where images and outputs go (default: a temporary folder)")
    args = ap.parse_args()
    if args.runs < 5:
        sys.exit("--runs must be at least 5: fewer is noise on a shared machine")
    args.dense_sizes = [parse_size(s) for s in args.dense_sizes.split(",")]
    args.disc_size = parse_size(args.disc_size)
    for i, given in enumerate(args.tool):
        label, sep, path = given.partition("=")
        if not sep or not label or not os.access(path, os.X_OK):
            sys.exit(f"--tool {given}: expected LABEL=PATH of an executable")
        args.tool[i] = (label, os.path.abspath(path))

    tools = build(ROOT, args.build_dir, ["decomp_disk", "make_disc_image", "whole_file_copy"])
    if args.posix:
        posix = build(ROOT, args.build_dir + "-posix", ["decomp_disk"],
                      ["-DDECOMP_PLATFORM=posix"])["decomp_disk"]
        args.tool.append(("posix decomp_disk -d -x", posix))
    work = args.work_dir or tempfile.mkdtemp(prefix="decomp_disk_bench.")
    os.makedirs(work, exist_ok=True)
    print(f"decomp_disk benchmark: {args.runs} runs per command (the disc scenario at least 7) "
          f"after a warm-up, alternating; "
          f"work folder on {fs_type(work)}")
    try:
        for name in args.scenario or list(SCENARIOS):
            SCENARIOS[name](tools, args, work)
    finally:
        if not args.work_dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
