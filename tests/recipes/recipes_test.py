#!/usr/bin/env python3
"""Runs the documented recipes for splitting a batch over machines on the real
engines: a single-node Slurm and GNU parallel through an sshd on 127.0.0.1,
both started here in a temporary folder and stopped by pid on every path, and,
with no cluster here, the Kubernetes Jobs' commands for every index. Each must
write exactly the files of one unsharded run. A daemon that cannot start is
reported and its part skipped (exit 77), never imitated."""
import argparse
import atexit
import ctypes
import filecmp
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
PAIRS = 600


class Fail(Exception):
    pass


class Skip(Exception):
    pass


def block(readme, lang, tag):
    m = re.search(r"```" + lang + " " + tag + r"\n(.*?)```", readme, re.S)
    if not m:
        raise Fail(f"the page has no ```{lang} {tag} block")
    return m.group(1)


def tree_files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


def same_tree(a, b, what):
    files = tree_files(a)
    if files != tree_files(b):
        got = tree_files(b)
        raise Fail(f"{what}: {len(got)} files instead of {len(files)}; first differences: "
                   f"{sorted(set(files) ^ set(got))[:5]}")
    for f in files:
        if not filecmp.cmp(os.path.join(a, f), os.path.join(b, f), shallow=False):
            raise Fail(f"{what}: {f} differs")


def summaries(paths):
    """The summary object of each report; a report without one fails."""
    out = []
    for p in paths:
        lines = open(p, encoding="utf-8").read().splitlines()
        last = json.loads(lines[-1]) if lines else {}
        if not last.get("summary"):
            raise Fail(f"{p} has no summary")
        out.append(last)
    return out


def free_ports(n):
    # Held open together, so the n ports differ.
    socks = [socket.socket() for _ in range(n)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def tail(path, lines=15):
    try:
        return "".join(open(path, errors="replace").readlines()[-lines:])
    except OSError:
        return ""


def _die_with_parent():
    # A test killed with SIGKILL (a CTest timeout) still takes its daemons along.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Daemons:
    """Every daemon started here, stopped by its pid in reverse order."""

    def __init__(self):
        self.procs = []

    def start(self, argv, log, env=None):
        with open(log, "ab") as f:
            p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                                 env=env, start_new_session=True, preexec_fn=_die_with_parent)
        self.procs.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.procs.clear()


def wait_for(what, ready, procs, log, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ready():
            return
        for p in procs:
            if p.poll() is not None:
                raise Skip(f"{p.args[0]} cannot start here (exit {p.returncode}):\n{tail(log)}")
        time.sleep(0.2)
    raise Skip(f"{what} did not come up within {seconds} s:\n{tail(log)}")


def need(tools, why):
    missing = [t for t in tools if shutil.which(t) is None and not os.access(t, os.X_OK)]
    if missing:
        raise Skip(f"{', '.join(missing)} not installed: {why} not run")
    if os.geteuid() != 0:
        raise Skip(f"not root: {why} not run")


def timed(what, argv, **kw):
    t = time.monotonic()
    r = subprocess.run(argv, capture_output=True, text=True, **kw)
    print(f"{what}: {time.monotonic() - t:.2f} s")
    return r


def make_tree(scans):
    # Odd widths and distinct channels, in nested folders, so shards differ in size.
    for i in range(PAIRS):
        folder = os.path.join(scans, f"f{i % 7}", f"d{i % 3}" if i % 2 else "")
        os.makedirs(folder, exist_ok=True)
        w, h = 3 + (i * 5) % 61, 1 + (i * 3) % 37
        with open(os.path.join(folder, f"p{i}.ipr"), "w") as f:
            f.write(f"{w} {h} 0 0")
        with open(os.path.join(folder, f"p{i}.rgb"), "wb") as f:
            f.write(bytes(((k % 3) * 85 + i * 7 + k // 3) & 255 for k in range(w * h * 3)))


def start_slurm(tmp, daemons, env):
    need(["munged", "mungekey", "slurmctld", "slurmd", "sbatch", "sinfo", "scancel"], "the Slurm array")
    d = os.path.join(tmp, "slurm-system")
    for sub in ("state", "spool"):
        os.makedirs(os.path.join(d, sub))
    os.chmod(d, 0o755)
    log = os.path.join(d, "daemons.log")
    key, sock = os.path.join(d, "munge.key"), os.path.join(d, "munge.sock")
    subprocess.run(["mungekey", "-c", "-k", key], check=True)
    munged = daemons.start(["munged", "-F", "-f", "--socket", sock, "--key-file", key, "--origin", "127.0.0.1",
                            "--pid-file", os.path.join(d, "munged.pid"),
                            "--seed-file", os.path.join(d, "munge.seed")], log)
    wait_for("munged", lambda: os.path.exists(sock), [munged], log, 10)
    conf = os.path.join(d, "slurm.conf")
    # At most 2 CPUs, so a script that asks a small node for more stays pending and fails here.
    cpus = min(2, os.cpu_count() or 1)
    ctld_port, slurmd_port = free_ports(2)
    with open(conf, "w") as f:
        f.write(f"""ClusterName=recipes
SlurmctldHost={socket.gethostname().split('.')[0]}(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmdPort={slurmd_port}
AuthType=auth/munge
AuthInfo=socket={sock}
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation={d}/state
SlurmdSpoolDir={d}/spool
SlurmctldPidFile={d}/slurmctld.pid
SlurmdPidFile={d}/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
NodeName=recipes-node NodeAddr=127.0.0.1 CPUs={cpus} State=UNKNOWN
PartitionName=recipes Nodes=recipes-node Default=YES MaxTime=INFINITE State=UP
""")
    env = dict(env, SLURM_CONF=conf)
    ctld = daemons.start(["slurmctld", "-D", "-i", "-f", conf], log, env)
    slurmd = daemons.start(["slurmd", "-D", "-N", "recipes-node", "-f", conf], log, env)

    def idle():
        r = subprocess.run(["sinfo", "-h", "-o", "%T"], env=env, capture_output=True, text=True, timeout=10)
        return r.stdout.strip() == "idle"
    wait_for("the Slurm node", idle, [munged, ctld, slurmd], log, 20)
    return env


def sbatch_run(what, argv, tmp, env):
    try:
        r = timed(what, argv, cwd=tmp, env=env, timeout=50)
    except subprocess.TimeoutExpired:
        subprocess.run(["scancel", "--user", "root"], env=env, timeout=10)
        raise Fail(f"{what}: not done after 50 s (pending for ever?)")
    if r.returncode != 0:
        logs = "".join(f"{f}:\n{tail(os.path.join(tmp, f))}" for f in sorted(os.listdir(tmp)) if f.endswith(".out"))
        raise Fail(f"{what}: exit {r.returncode}\n{r.stderr}\n{logs}")


def slurm_recipe(readme, tmp, daemons, env):
    env = start_slurm(tmp, daemons, env)
    out = os.path.join(tmp, "slurm")
    env = dict(env, SCANS=os.path.join(tmp, "scans"), OUT=out)
    script = os.path.join(tmp, "convert.sh")
    with open(script, "w") as f:
        f.write(block(readme, "sh", "slurm-array"))
    # 0-based with a step: the shard must come from the task's place, not its number.
    sbatch_run("Slurm array 0-6:2", ["sbatch", "--wait", "--quiet", "--array=0-6:2", script], tmp, env)
    same_tree(os.path.join(tmp, "all"), out, "the Slurm array's shards")
    reports = [os.path.join(out + ".reports", f"{k}-of-4.jsonl") for k in range(1, 5)]
    if sorted(os.listdir(out + ".reports")) != sorted(map(os.path.basename, reports)):
        raise Fail(f"the Slurm array's reports: {sorted(os.listdir(out + '.reports'))}")
    shards = summaries(reports)
    if sum(s["converted"] for s in shards) != PAIRS:
        raise Fail("the Slurm array's reports do not add up to one conversion per pair")
    # sbatch --wait polls after 2 s, then every 10 s: the array's time is mostly that.
    print(f"  its slowest shard converted for {max(s['seconds'] for s in shards):.2f} s")

    # Shard 3 as a task killed half-way leaves it: some outputs gone, no summary.
    damaged = reports[2]
    lines = open(damaged, encoding="utf-8").read().splitlines()[:-1]
    removed = [json.loads(l)["output"] for l in lines[::2]]
    for o in removed:
        os.remove(os.path.join(tmp, o))
    with open(damaged, "w", encoding="utf-8") as f:
        f.write("\n".join(lines[1::2]) + "\n")
    before = {p: open(p, "rb").read() for p in reports if p != damaged}
    rerun = 'sbatch() { command sbatch --wait --quiet "$@"; }\nN=4\n' + block(readme, "sh", "slurm-rerun")
    sbatch_run("Slurm rerun of a failed shard", ["bash", "-e", "-c", rerun], tmp, env)
    same_tree(os.path.join(tmp, "all"), out, "the Slurm rerun")
    if any(open(p, "rb").read() != b for p, b in before.items()):
        raise Fail("the Slurm rerun ran shards that had not failed")
    s = summaries([damaged])[0]
    if (s["converted"], s["skipped"], s["failed"]) != (len(removed), len(lines) - len(removed), 0):
        raise Fail(f"the Slurm rerun's report: {s}")
    slurm_planned_recipe(readme, tmp, env)


def slurm_planned_recipe(readme, tmp, env):
    # The plan job as written; the array after it with --wait, so the test sees it end.
    out = os.path.join(tmp, "slurm-planned")
    env = dict(env, OUT=out, N="3")
    with open(os.path.join(tmp, "convert-planned.sh"), "w") as f:
        f.write(block(readme, "sh", "slurm-planned"))
    submit = ('sbatch() { case " $* " in *" --dependency="*) command sbatch --wait --quiet "$@" ;; '
              '*) command sbatch "$@" ;; esac; }\n' + block(readme, "sh", "slurm-plan-submit"))
    sbatch_run("Slurm plan job, then the array after it", ["bash", "-e", "-c", submit], tmp, env)
    same_tree(os.path.join(tmp, "all"), out, "the planned Slurm array's shards")
    plans = sorted(os.listdir(out + ".plan"))
    if plans != ["1-of-3.plan", "2-of-3.plan", "3-of-3.plan", "plan.json"]:
        raise Fail(f"the plan job wrote {plans}")
    reports = [os.path.join(out + ".reports", f"{k}-of-3.jsonl") for k in range(1, 4)]
    if sum(s["converted"] for s in summaries(reports)) != PAIRS:
        raise Fail("the planned array's reports do not add up to one conversion per pair")


def parallel_run(what, recipe, tmp, env):
    r = timed(what, ["bash", "-e", "-c", recipe], cwd=tmp, env=env, timeout=50)
    if r.returncode != 0:
        raise Fail(f"{what}: exit {r.returncode}\n{r.stderr}")
    same_tree(os.path.join(tmp, "all"), os.path.join(tmp, "out"), what)
    if r.stdout.split() != [str(PAIRS)]:
        raise Fail(f"{what}: the reports count {r.stdout!r} conversions, not {PAIRS}")
    shutil.rmtree(os.path.join(tmp, "out"))
    for f in os.listdir(tmp):
        if f.startswith("report-"):
            os.remove(os.path.join(tmp, f))


def start_sshd(tmp, daemons, bindir):
    sshd = "/usr/sbin/sshd"
    need([sshd, "ssh", "ssh-keygen"], "the parallel recipe over ssh")
    d = os.path.join(tmp, "ssh-system")
    os.makedirs(d)
    log = os.path.join(d, "sshd.log")
    for k in ("host", "user"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(d, k)], check=True)
    shutil.copy(os.path.join(d, "user.pub"), os.path.join(d, "authorized_keys"))
    port, = free_ports(1)
    conf = os.path.join(d, "sshd_config")
    with open(conf, "w") as f:
        # Every node has quenlo-convert on its PATH; here that node is this one.
        f.write(f"""ListenAddress 127.0.0.1
Port {port}
HostKey {d}/host
AuthorizedKeysFile {d}/authorized_keys
PidFile {d}/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
SetEnv PATH={bindir}:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
""")
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # its privilege separation folder
    p = daemons.start([sshd, "-D", "-e", "-f", conf], log)

    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    wait_for("sshd", listening, [p], log, 10)
    login = (f"ssh -F /dev/null -p {port} -i {d}/user -o IdentitiesOnly=yes -o BatchMode=yes "
             f"-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR root@127.0.0.1")
    return login, log


def parallel_recipe(readme, tmp, daemons, env, bindir):
    if shutil.which("parallel") is None:
        raise Skip("GNU parallel not installed: the parallel recipe not run")
    recipe = block(readme, "sh", "parallel-recipe")
    if not recipe.startswith("parallel "):
        raise Fail("the parallel recipe does not start with parallel")
    parallel_run("parallel recipe, local", recipe, tmp, env)
    parallel_run("parallel recipe, planned once", block(readme, "sh", "parallel-plan-recipe"), tmp, env)
    shutil.rmtree(os.path.join(tmp, "plan"))
    login, log = start_sshd(tmp, daemons, bindir)
    # Only --sshlogin added, as the README says.
    remote = "parallel --sshlogin " + shlex.quote(login) + recipe[len("parallel"):]
    parallel_run("parallel recipe over ssh", remote, tmp, env)
    if "Accepted publickey for root" not in open(log).read():
        raise Fail("the parallel recipe over ssh never logged in")


def k8s_job(readme, tag, indexed):
    """The Job in the page's block, checked as kubectl reads it, and its container."""
    manifest = block(readme, "yaml", tag)
    if shutil.which("kubectl"):
        r = subprocess.run(["kubectl", "label", "--local", "--dry-run=client", "-o", "json", "-f", "-", "checked=yes"],
                           input=manifest, capture_output=True, text=True, timeout=30,
                           env=dict(os.environ, KUBECONFIG=os.devnull))  # no cluster is asked
        if r.returncode != 0:
            raise Fail(f"kubectl does not accept the {tag}: {r.stderr}")
        job = json.loads(r.stdout)
    else:
        try:
            import yaml
        except ImportError:
            raise Skip("neither kubectl nor python3-yaml: the Kubernetes Jobs not run")
        job = yaml.safe_load(manifest)
    body = job["spec"]  # the Job's own body, by Kubernetes' field name
    if (job["apiVersion"], job["kind"]) != ("batch/v1", "Job") or (body.get("completionMode") == "Indexed") != indexed:
        raise Fail(f"the {tag} is not {'an Indexed' if indexed else 'a plain'} Job")
    pod = body["template"]["spec"]
    c = pod["containers"][0]
    if pod["restartPolicy"] != "Never" or c["workingDir"] != c["volumeMounts"][0]["mountPath"]:
        raise Fail(f"the {tag} does not work in its shared volume")
    return job, c


def run_pod(what, c, tmp, env, index=None):
    """The container's command as its pod runs it; the shared volume is this folder."""
    if index is not None:
        env = dict(env, JOB_COMPLETION_INDEX=str(index))
    r = subprocess.run(c["command"] + c["args"], cwd=tmp, env=env, capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise Fail(f"{what}: exit {r.returncode}\n{r.stderr}")


def kubernetes_recipe(readme, tmp, env):
    job, c = k8s_job(readme, "k8s-indexed-job", True)
    indexes = job["spec"]["completions"]
    t = time.monotonic()
    for i in range(indexes):
        run_pod(f"the Kubernetes Job's index {i}", c, tmp, env, i)
    print(f"Kubernetes Job, {indexes} indexes one after another: {time.monotonic() - t:.2f} s")
    same_tree(os.path.join(tmp, "all"), os.path.join(tmp, "out"), "the Kubernetes Job's indexes")
    for d in ("out", "out.reports"):
        shutil.rmtree(os.path.join(tmp, d))
    kubernetes_planned_recipe(readme, tmp, env)


def kubernetes_planned_recipe(readme, tmp, env):
    plan, pc = k8s_job(readme, "k8s-plan-job", False)
    job, c = k8s_job(readme, "k8s-planned-indexed-job", True)
    claim = lambda j: j["spec"]["template"]["spec"]["volumes"][0]["persistentVolumeClaim"]["claimName"]
    if (pc["workingDir"], claim(plan)) != (c["workingDir"], claim(job)):
        raise Fail("the plan Job and the planned Job work in different folders")
    submit = block(readme, "sh", "k8s-plan-submit")
    waits = submit.find(f"kubectl wait --for=condition=complete --timeout=24h job/{plan['metadata']['name']}")
    if not 0 <= waits < submit.rfind("kubectl apply"):
        raise Fail("the submission does not wait for the plan Job before the shards")
    n = job["spec"]["completions"]
    run_pod("the plan Job", pc, tmp, env)
    for i in range(n):
        run_pod(f"the planned Job's index {i}", c, tmp, env, i)
    out = os.path.join(tmp, "out")
    same_tree(os.path.join(tmp, "all"), out, "the planned Kubernetes Job's indexes")
    reports = [os.path.join(out + ".reports", f"{k}-of-{n}.jsonl") for k in range(1, n + 1)]
    if sum(s["converted"] for s in summaries(reports)) != PAIRS:
        raise Fail("the planned Job's reports do not add up to one conversion per pair")
    # A pod started again with its index writes nothing again.
    run_pod("the planned Job's index 0 again", c, tmp, env, 0)
    s = summaries(reports[:1])[0]
    if (s["converted"], s["failed"]) != (0, 0) or s["skipped"] == 0:
        raise Fail(f"index 0 started again: {s}")
    same_tree(os.path.join(tmp, "all"), out, "the planned Kubernetes Job's indexes, one started again")
    print(f"Kubernetes plan Job, then {n} planned indexes and one again: the outputs of one unsharded run")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--readme", required=True)
    args = parser.parse_args()
    readme = open(args.readme, encoding="utf-8").read()
    bindir = os.path.abspath(args.bin)
    os.environ["PATH"] += os.pathsep + "/usr/sbin:/sbin"  # the daemons, for a PATH without them
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"])
    daemons = Daemons()
    atexit.register(daemons.stop_all)
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, lambda n, _: sys.exit(128 + n))
    skipped, failed = [], []
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)  # munged and sshd refuse sockets and keys below a closed folder
        make_tree(os.path.join(tmp, "scans"))
        r = timed("unsharded run", ["quenlo-convert", "-q", "-r", "-o", "all", "scans"], cwd=tmp, env=env)
        if r.returncode != 0:
            sys.exit(f"FAIL: the unsharded run: {r.stderr}")
        parts = [("Slurm", lambda: slurm_recipe(readme, tmp, daemons, env)),
                 ("parallel", lambda: parallel_recipe(readme, tmp, daemons, env, bindir)),
                 ("Kubernetes", lambda: kubernetes_recipe(readme, tmp, env))]
        for name, part in parts:
            try:
                part()
            except Skip as e:
                skipped.append(f"SKIPPED {name}: {e}")
            except (Fail, subprocess.TimeoutExpired) as e:
                failed.append(f"FAIL {name}: {e}")
            finally:
                daemons.stop_all()
    for line in skipped + failed:
        print(line)
    sys.exit(1 if failed else SKIPPED if skipped else 0)


if __name__ == "__main__":
    main()
