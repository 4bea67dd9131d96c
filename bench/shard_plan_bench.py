"""A batch planned once for shards, measured against every shard planning the whole list.

Planning: N generated names (no files: names are planned as names) into
--shards plan files, wall time and peak memory (/usr/bin/time -f %M), set
against today's --shard 1/100 run on the same list, which plans the whole list
on every node before it converts (it stops at its first item, as no file
exists). Start-up: a shard from a 100,000-item plan, to its first item (with
--startup-files, of small pairs on disk).
Outputs: on real small pairs, the union of every shard's outputs must be
byte-identical to one unsharded run.

  python3 bench/shard_plan_bench.py --bin build/bin --work /work/tmp/plan-bench [--names 100000000]
  python3 bench/shard_plan_bench.py --bin build/bin --work /work/tmp/plan-bench --only startup --runs 5 --against OLD/quenlo-convert
The work folder is removed at the end.
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import time


def write_names(path, n):
    # Spread over 1,000 folders.
    with open(path, "w") as f:
        step = 100000
        for start in range(0, n, step):
            f.write("".join(f"scans/d{i % 1000:03d}/scan{i:09d}.ipr\n" for i in range(start, min(n, start + step))))


def timed(argv, cwd):
    """Wall seconds, CPU seconds (user and system) and peak resident MiB of one run, and its exit status.
    On a shared machine the CPU time is the steadier figure."""
    r = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M"] + argv, cwd=cwd, capture_output=True, text=True)
    wall, user, system, kib = r.stderr.strip().splitlines()[-1].split()
    return float(wall), float(user) + float(system), int(kib) / 1024, r.returncode, r.stderr


def du_mib(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs) / 2**20


def planning(q, work, names, shards, today):
    names_file = os.path.join(work, "names.txt")
    t = time.monotonic()
    write_names(names_file, names)
    print(f"{names:,} names written in {time.monotonic() - t:.1f} s ({os.path.getsize(names_file) / 2**20:.0f} MiB)")
    plan = os.path.join(work, "plan")
    wall, cpu, mib, status, err = timed([q, "-q", "--plan-shards", str(shards), "--plan-dir", plan, "-o", "out",
                                         "--files-from", names_file], work)
    if status != 0:
        raise SystemExit(f"planning failed: {err}")
    print(f"plan {names:,} names into {shards} shards: {wall:.1f} s ({cpu:.1f} s CPU), peak {mib:.0f} MiB, "
          f"plan files {du_mib(plan):.0f} MiB")
    if today:
        wall0, cpu0, mib0, _, _ = timed([q, "-q", "--shard", "1/100", "-o", "out", "--files-from", names_file], work)
        print(f"today, one node of --shard 1/100 on the same list: {wall0:.1f} s ({cpu0:.1f} s CPU), peak {mib0:.0f} MiB "
              f"(the plan made once takes {wall0 / wall:.1f}x less time than each node today, "
              f"{cpu0 / cpu:.1f}x less CPU, {mib0 / mib:.1f}x less memory)")
    shutil.rmtree(plan)
    os.remove(names_file)


def write_pairs(path, n, work):
    """n small pairs on disk, spread as write_names spreads the names, listed after one that is missing."""
    for d in range(min(n, 1000)):
        os.makedirs(os.path.join(work, f"scans/d{d:03d}"), exist_ok=True)
    with open(path, "w") as names:
        names.write("scans/gone.ipr\n")
        for i in range(n):
            base = os.path.join(work, f"scans/d{i % 1000:03d}/scan{i:09d}")
            with open(base + ".ipr", "w") as f:
                f.write("3 1 0 0")
            with open(base + ".rgb", "wb") as f:
                f.write(bytes([i & 255, 1, 2, 3, 4, 5, 6, 7, 8]))
            names.write(os.path.relpath(base, work) + ".ipr\n")


def startup(q, work, runs, against, files):
    names_file = os.path.join(work, "names100k.txt")
    if files:
        write_pairs(names_file, 100000, work)
    else:
        write_names(names_file, 100000)
    plan = os.path.join(work, "plan100k")
    subprocess.run([q, "-q", "--plan-shards", "1", "--plan-dir", plan, "-o", "out", "--files-from", names_file],
                   cwd=work, check=True)
    # The first item is missing: the shard plans its 100,000 items, then stops
    # at the first (-j1, so no other item is started meanwhile).
    # With --against, the two programs take turns, so that both see the same load.
    programs = [q] + ([against] if against else [])
    runs_of = {"plan": ["--plan", os.path.join(plan, "1-of-1.plan")], "list": ["-o", "out", "--files-from", names_file]}
    cpus = {(p, k): [] for p in programs for k in runs_of}
    for _ in range(runs):
        for p in programs:
            for kind, args in runs_of.items():
                wall, cpu, mib, status, _ = timed([p, "-q", "-j1"] + args, work)
                cpus[(p, kind)].append((cpu, mib))
                print(f"{'a shard of a 100,000-item plan' if kind == 'plan' else 'the same 100,000 names from a list'}"
                      f"{' of files on disk' if files else ''}, to its first item: {wall:.2f} s ({cpu:.2f} s CPU), "
                      f"peak {mib:.0f} MiB (status {status}){'' if p == q else ', ' + p}")
    if runs > 1:
        for (p, kind), got in cpus.items():
            c = sorted(cpu for cpu, _ in got)
            print(f"  {p}, {kind}: CPU to the first item, least {c[0]:.2f} s, median {c[len(c) // 2]:.2f} s; "
                  f"peak {max(mib for _, mib in got):.0f} MiB")


def outputs(q, work, pairs, shards):
    scans = os.path.join(work, "pairs")
    for i in range(pairs):
        folder = os.path.join(scans, f"f{i % 10}", f"g{i % 7}")
        os.makedirs(folder, exist_ok=True)
        w, h = 3 + i % 13, 1 + i % 5
        with open(os.path.join(folder, f"p{i}.ipr"), "w") as f:
            f.write(f"{w} {h} 0 0")
        with open(os.path.join(folder, f"p{i}.rgb"), "wb") as f:
            f.write(bytes(((k % 3) * 85 + i * 7 + k // 3) & 255 for k in range(w * h * 3)))
    t = time.monotonic()
    subprocess.run([q, "-q", "-r", "-o", "all", "pairs"], cwd=work, check=True)
    print(f"{pairs:,} pairs, one unsharded run: {time.monotonic() - t:.1f} s")
    t = time.monotonic()
    subprocess.run([q, "-q", "-r", "--plan-shards", str(shards), "--plan-dir", "pplan", "-o", "split", "pairs"],
                   cwd=work, check=True)
    for k in range(1, shards + 1):
        subprocess.run([q, "-q", "--plan", f"pplan/{k}-of-{shards}.plan"], cwd=work, check=True)
    print(f"  planned once into {shards} shards, run one after another: {time.monotonic() - t:.1f} s")
    diff = filecmp.dircmp(os.path.join(work, "all"), os.path.join(work, "split"))
    files = 0
    stack = [("", diff)]
    while stack:
        at, d = stack.pop()
        if d.left_only or d.right_only or d.diff_files or d.funny_files:
            raise SystemExit(f"outputs differ in {at or '.'}: {d.left_only} {d.right_only} {d.diff_files}")
        _, mismatch, errors = filecmp.cmpfiles(d.left, d.right, d.common_files, shallow=False)
        if mismatch or errors:
            raise SystemExit(f"outputs differ: {mismatch} {errors}")
        files += len(d.common_files)
        stack += [(os.path.join(at, s), sd) for s, sd in d.subdirs.items()]
    print(f"  the shards' {files:,} outputs are byte-identical to the unsharded run's")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--names", type=int, default=10000000)
    p.add_argument("--shards", type=int, default=1000)
    p.add_argument("--pairs", type=int, default=10000)
    p.add_argument("--no-today", action="store_true", help="skip today's --shard run on the list")
    p.add_argument("--only", choices=["planning", "startup", "outputs"])
    p.add_argument("--runs", type=int, default=1, help="start-up runs of each program")
    p.add_argument("--startup-files", action="store_true", help="start-up from a plan of pairs on disk, not of names")
    p.add_argument("--against", help="another quenlo-convert, whose start-up runs take turns with this one's")
    a = p.parse_args()
    q = os.path.abspath(os.path.join(a.bin, "quenlo-convert"))
    os.makedirs(a.work)
    try:
        if a.only in (None, "planning"):
            planning(q, a.work, a.names, a.shards, not a.no_today)
        if a.only in (None, "startup"):
            startup(q, a.work, a.runs, a.against and os.path.abspath(a.against), a.startup_files)
        if a.only in (None, "outputs"):
            outputs(q, a.work, a.pairs, 8)
    finally:
        shutil.rmtree(a.work, ignore_errors=True)


if __name__ == "__main__":
    main()
