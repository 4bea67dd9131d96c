"""Hot folders measured: latency, a stress run and idle CPU (bench/compare --only-watch).

Latency: from the last write of a 1-megapixel pair (or .jpg) to its output
in place. Stress: a writer drops small pairs as fast as it can, half
written in place and half renamed in; every pair must be converted exactly
once and match what a batch makes of the same files, at -j1 and -j4, with
kernel events and with --poll; per-file time is set against that batch.
Behind a big one: five small .jpg files copied in 50 ms apart while a
4000 x 3000 .jpg settles, from the last of them to all five outputs.
Idle: the CPU time of a watch over a minute with nothing arriving.
CPU per pair: a watch at -j1 against a batch of the same small pairs into
the same disk, with the pairs there at the start and arriving one by one.
"""
import filecmp
import json
import os
import shutil
import statistics
import subprocess
import time

SETTLE_MS = 1000


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_watch(quenlo, folder, out, extra, report=None):
    cmd = [quenlo, "--watch", "-q", "--settle", str(SETTLE_MS), "-o", out, folder] + extra
    if report:
        cmd += ["--report", report]
    proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)  # the first scan of an empty folder
    return proc


def wait_for(path, limit=30.0):
    end = time.perf_counter() + limit
    while not os.path.exists(path):
        if time.perf_counter() > end:
            raise RuntimeError(f"{path} never appeared")
        time.sleep(0.0005)
    return time.perf_counter()


def pair_bytes(i, w, h):
    block = bytes((k * 7 + 13 + i) & 255 for k in range(w * 3 + 97))
    rows = [block[(y + i) % 97:(y + i) % 97 + w * 3] for y in range(h)]
    return f"{w} {h} 0 0\n".encode(), b"".join(rows)


def write_file(path, data, pieces=1):
    with open(path, "wb") as f:
        for p in range(pieces):
            f.write(data[len(data) * p // pieces:len(data) * (p + 1) // pieces])
            f.flush()
    return time.perf_counter()


def latency(quenlo, work, runs):
    rows = []
    jpg_src = os.path.join(work, "lat-src.jpg")
    ppm = os.path.join(work, "lat-src.ppm")
    ipr, rgb = pair_bytes(1, 1000, 1000)
    with open(ppm, "wb") as f:
        f.write(b"P6 1000 1000 255\n" + rgb)
    subprocess.run(["cjpeg", "-quality", "90", "-outfile", jpg_src, ppm], check=True)
    jpg = open(jpg_src, "rb").read()
    for mode, extra in (("kernel events", []), ("--poll 0.1", ["--poll", "0.1"])):
        folder, out = os.path.join(work, "lat-in"), os.path.join(work, "lat-out")
        for d in (folder, out):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        proc = start_watch(quenlo, folder, out, extra)
        try:
            times = {"pair written in place": [], "pair renamed in": [], ".jpg written in place": []}
            for r in range(runs):
                base = os.path.join(folder, f"p{r}")
                write_file(base + ".ipr", ipr)
                last = write_file(base + ".rgb", rgb, pieces=8)
                times["pair written in place"].append(wait_for(os.path.join(out, f"p{r}.bmp")) - last)
                base = os.path.join(folder, f"q{r}")
                write_file(os.path.join(folder, f".q{r}.rgb.part"), rgb, pieces=8)
                write_file(base + ".ipr", ipr)
                os.rename(os.path.join(folder, f".q{r}.rgb.part"), base + ".rgb")
                last = time.perf_counter()
                times["pair renamed in"].append(wait_for(os.path.join(out, f"q{r}.bmp")) - last)
                last = write_file(os.path.join(folder, f"j{r}.jpg"), jpg, pieces=8)
                times[".jpg written in place"].append(wait_for(os.path.join(out, f"j{r}.bmp")) - last)
        finally:
            proc.terminate()
            proc.wait()
        for what, t in times.items():
            rows.append((mode, what, statistics.median(t) * 1000, max(t) * 1000))
    print(f"**Latency: last write of a 1-megapixel file to its output in place (--settle {SETTLE_MS}, {runs} runs)**\n")
    print("| events | file | median (ms) | max (ms) |\n|---|---|---:|---:|")
    for mode, what, med, worst in rows:
        print(f"| {mode} | {what} | {med:.0f} | {worst:.0f} |")


def behind_big(quenlo, work, runs):
    folder, out = os.path.join(work, "big-in"), os.path.join(work, "big-out")
    src = os.path.join(work, "big-src")
    os.makedirs(src, exist_ok=True)
    for name, (w, h) in (("big", (4000, 3000)), ("small", (45, 31))):
        ppm = os.path.join(src, name + ".ppm")
        with open(ppm, "wb") as f:
            f.write(f"P6 {w} {h} 255\n".encode() + os.urandom(w * h * 3))
        subprocess.run(["cjpeg", "-quality", "90", "-outfile", os.path.join(src, name + ".jpg"), ppm], check=True)
    times = []
    for _ in range(runs):
        for d in (folder, out):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        proc = start_watch(quenlo, folder, out, [])
        try:
            shutil.copy(os.path.join(src, "big.jpg"), folder)
            for i in range(5):
                shutil.copy(os.path.join(src, "small.jpg"), os.path.join(folder, f"s{i}.jpg"))
                time.sleep(0.05)
            last = time.perf_counter()
            try:
                times.append(max(wait_for(os.path.join(out, f"s{i}.bmp"), 20.0) for i in range(5)) - last)
            except RuntimeError:
                times.append(float("inf"))
        finally:
            proc.terminate()
            proc.wait()
    print(f"\n**Five small .jpg files behind a 4000 x 3000 one (--settle {SETTLE_MS}, {runs} runs)**: "
          f"from the last to all five converted, median {statistics.median(times):.2f} s, worst {max(times):.2f} s "
          "(inf: not within 20 s)")


def stress(quenlo, work, count, jobs_list, repeats=3):
    w, h = 64, 48
    src = os.path.join(work, f"stress-src{count}")
    if not os.path.isdir(src):
        os.makedirs(src)
        for i in range(count):
            ipr, rgb = pair_bytes(i, w, h)
            write_file(os.path.join(src, f"s{i:05d}.ipr"), ipr)
            write_file(os.path.join(src, f"s{i:05d}.rgb"), rgb)
    payload = [(open(os.path.join(src, f"s{i:05d}.ipr"), "rb").read(), open(os.path.join(src, f"s{i:05d}.rgb"), "rb").read())
               for i in range(count)]
    rows = []
    for jobs in jobs_list:
        for mode, extra in (("kernel events", []), ("--poll 0.5", ["--poll", "0.5"])):
            runs = [stress_once(quenlo, work, payload, jobs, extra) for _ in range(repeats)]
            cpu = statistics.median(r[4] for r in runs)
            bcpu = statistics.median(r[5] for r in runs)
            rows.append((jobs, mode, statistics.median(r[0] for r in runs), max(r[1] for r in runs),
                         all(r[2] for r in runs), max(r[3] for r in runs), cpu, bcpu, "".join(r[6] for r in runs)))
    print(f"\n**Stress: {count} pairs of {w} x {h} dropped as fast as a writer can, half in place, half renamed in "
          f"(median of {repeats})**\n")
    print("| -j | events | writer (s) | last output after it (s) | each once, none partial | exit | watch CPU/file (ms) | batch CPU/file (ms) | ratio |")
    print("|---:|---|---:|---:|---|---:|---:|---:|---:|")
    for jobs, mode, written, lag, ok, rc, cpu, bcpu, err in rows:
        print(f"| {jobs} | {mode} | {written:.1f} | {lag:.1f} | {'yes' if ok else 'NO'} | {rc} | {cpu:.3f} | {bcpu:.3f} | {cpu / bcpu:.2f} |")
        if not ok or rc:
            print("stderr:", err[-2000:])


def stress_once(quenlo, work, payload, jobs, extra):
    """One watch of the stress run and a batch of the same folder."""
    count = len(payload)
    folder, out = os.path.join(work, "stress-in"), os.path.join(work, "stress-out")
    report = os.path.join(work, "stress-report.jsonl")
    for d in (folder, out):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    proc = start_watch(quenlo, folder, out, extra + ["-j", str(jobs), "--idle-exit", "3"], report)
    start = time.perf_counter()
    for i, (ipr, rgb) in enumerate(payload):
        base = os.path.join(folder, f"s{i:05d}")
        if i % 2:
            write_file(base + ".ipr", ipr)
            write_file(base + ".rgb", rgb, pieces=2)
        else:
            tmp = os.path.join(folder, f".s{i:05d}.tmp")
            write_file(tmp + "r", rgb, pieces=2)
            write_file(tmp + "i", ipr)
            os.rename(tmp + "r", base + ".rgb")
            os.rename(tmp + "i", base + ".ipr")
    written = time.perf_counter() - start
    written_at = time.time()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    stderr = proc.stderr.read()
    # The batch of the same files, in the same state of the file system
    # (a folder of outputs just removed makes new files dearer on ext4).
    expected = os.path.join(work, "stress-batch")
    shutil.rmtree(expected, ignore_errors=True)
    before = os.times()
    subprocess.run(f"cd {folder} && {quenlo} -q -j {jobs} -o {expected} *.ipr", shell=True, check=True)
    after = os.times()
    batch_cpu = after.children_user + after.children_system - before.children_user - before.children_system
    # How far the last output came after the writer's last file.
    lag = max(os.stat(os.path.join(out, n)).st_mtime for n in os.listdir(out)) - written_at
    items = [json.loads(line) for line in open(report) if '"summary"' not in line]
    inputs = [it["input"] for it in items]
    once = len(inputs) == count == len(set(inputs)) and all(it["status"] == "converted" for it in items)
    names = sorted(os.listdir(out))
    same = len(names) == count and all(
        filecmp.cmp(os.path.join(out, n), os.path.join(expected, n), shallow=False) for n in names)
    cpu = usage.ru_utime + usage.ru_stime
    if not (once and same):
        twice = sorted({i for i in inputs if inputs.count(i) > 1})[:5]
        missing = sorted(set(os.listdir(expected)) - set(names))[:5]
        differ = [n for n in names if n in os.listdir(expected)
                  and not filecmp.cmp(os.path.join(out, n), os.path.join(expected, n), shallow=False)][:5]
        stderr += f"\ntwice: {twice}; missing: {missing}; different: {differ}; failed: " + \
            str([it for it in items if it["status"] != "converted"][:3])
    return (written, lag, once and same, proc.returncode, cpu / count * 1000, batch_cpu / count * 1000, stderr)


def idle(quenlo, work, seconds):
    folder = os.path.join(work, "stress-in")  # what the stress run left: thousands of converted pairs
    if not os.path.isdir(folder):
        folder = os.path.join(work, "idle-in")
        os.makedirs(folder, exist_ok=True)
    print(f"\n**Idle: CPU time of a watch over {seconds} s with nothing arriving ({len(os.listdir(folder))} files watched)**\n")
    print("| events | CPU (s) |\n|---|---:|")
    for mode, extra in (("kernel events", []), ("--poll 2", ["--poll", "2"])):
        out = os.path.join(work, "stress-out")
        os.makedirs(out, exist_ok=True)
        proc = start_watch(quenlo, folder, out, extra)
        time.sleep(3)  # the first scan
        before = cpu_seconds(proc.pid)
        time.sleep(seconds)
        used = cpu_seconds(proc.pid) - before
        proc.terminate()
        proc.wait()
        print(f"| {mode} | {used:.2f} |")


def child_cpu(cmd):
    """CPU seconds (user + system) of one run of cmd, from its own rusage."""
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status):
        raise RuntimeError(f"failed: {' '.join(cmd[:6])} ...")
    return usage.ru_utime + usage.ru_stime


def cpu_per_pair(quenlo, work, count=2000, rounds=5):
    """A watch's CPU per pair at -j1 against a batch's, alternated, median of the rounds."""
    src = os.path.join(work, f"cpu-src{count}")
    if not os.path.isdir(src):
        os.makedirs(src)
        for i in range(count):
            ipr, rgb = pair_bytes(i, 64, 48)
            write_file(os.path.join(src, f"s{i:05d}.ipr"), ipr)
            write_file(os.path.join(src, f"s{i:05d}.rgb"), rgb)
    payload = [(open(os.path.join(src, f"s{i:05d}.ipr"), "rb").read(), open(os.path.join(src, f"s{i:05d}.rgb"), "rb").read())
               for i in range(count)]
    iprs = sorted(os.path.join(src, n) for n in os.listdir(src) if n.endswith(".ipr"))
    # Each run writes into folders of its own, all removed at the end: ext4
    # skips the inodes of files removed in the last minute when it makes new
    # ones, which would charge one run for what the run before it removed.
    runs = iter(range(1 << 30))
    made = []

    def fresh(what):
        d = os.path.join(work, f"cpu-{what}{next(runs)}")
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        made.append(d)
        return d

    def write_pairs(folder):
        for i, (ipr, rgb) in enumerate(payload):
            base = os.path.join(folder, f"s{i:05d}")
            write_file(base + ".ipr", ipr)
            write_file(base + ".rgb", rgb)

    def batch():
        return child_cpu([quenlo, "-q", "-j", "1", "-o", fresh("out")] + iprs)

    def batch_of_new():
        # Pairs just written, as the watch gets them: reading a page for the
        # first time costs the kernel more than reading it again.
        folder = fresh("in")
        write_pairs(folder)
        return child_cpu([quenlo, "-q", "-j", "1", "-o", fresh("out")] +
                         sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".ipr")))

    def present():
        return child_cpu([quenlo, "--watch", "-q", "-j", "1", "--idle-exit", "0.3", "-o", fresh("out"), src])

    def arriving():
        folder, out = fresh("in"), fresh("out")
        proc = start_watch(quenlo, folder, out, ["-j", "1", "--idle-exit", "1"])
        write_pairs(folder)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode or len(os.listdir(out)) != count:
            raise RuntimeError(f"the watch made {len(os.listdir(out))} of {count}: {proc.stderr.read()[-500:]}")
        return usage.ru_utime + usage.ru_stime

    rows = []
    for what, watch, peer in (("there at the start", present, batch), ("written in one by one", arriving, batch_of_new)):
        peer()  # the page cache and the binary
        ratios, wcpu, bcpu = [], [], []
        for r in range(rounds):
            if r % 2:
                b, w = peer(), watch()
            else:
                w, b = watch(), peer()
            ratios.append(w / b)
            wcpu.append(w)
            bcpu.append(b)
        rows.append((what, statistics.median(wcpu), statistics.median(bcpu), statistics.median(ratios),
                     min(ratios), max(ratios)))
    for d in made:
        shutil.rmtree(d, ignore_errors=True)
    print(f"\n**CPU per pair at -j1: {count} pairs of 64 x 48, watch against batch into the same disk "
          f"(user + system, {rounds} rounds alternated)**\n")
    print("| pairs | watch (ms/pair) | batch (ms/pair) | median ratio | min | max |\n|---|---:|---:|---:|---:|---:|")
    for what, w, b, ratio, lo, hi in rows:
        print(f"| {what} | {w / count * 1000:.3f} | {b / count * 1000:.3f} | {ratio:.2f} | {lo:.2f} | {hi:.2f} |")


def main(quenlo, work, runs, count=10000, jobs=(1, 4), idle_seconds=60):
    os.makedirs(work, exist_ok=True)
    cpu_per_pair(quenlo, work)
    latency(quenlo, work, runs)
    behind_big(quenlo, work, runs)
    stress(quenlo, work, count, jobs)
    idle(quenlo, work, idle_seconds)
