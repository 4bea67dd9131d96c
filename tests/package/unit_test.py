#!/usr/bin/env python3
"""Checks the hot-folder user unit: systemd-analyze verify finds nothing to
say about it, systemd-analyze security rates its exposure at most 2.0, and
its command line, run on a folder with options as its environment file
gives them, converts what is in it. The unit names the program bare, as
installed; the checks use the built one.

  unit_test.py --unit quenlo-watch@.service --bin build/bin
"""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--unit", required=True)
    ap.add_argument("--bin", required=True, help="where the built programs are")
    args = ap.parse_args()
    text = open(args.unit).read()
    exec_lines = [line for line in text.splitlines() if line.startswith("ExecStart=")]
    installed = "quenlo-convert"
    if len(exec_lines) != 1 or not exec_lines[0].startswith("ExecStart=" + installed + " "):
        print(f"the unit should start {installed} once: {exec_lines}")
        return 1
    built = os.path.join(os.path.abspath(args.bin), "quenlo-convert")

    with tempfile.TemporaryDirectory() as tmp:
        if shutil.which("systemd-analyze"):
            units = os.path.join(tmp, "units")
            os.makedirs(units)
            with open(os.path.join(units, "quenlo-watch@.service"), "w") as f:
                f.write(text.replace("ExecStart=" + installed, "ExecStart=" + built))
            # Unknown keys are only warnings: anything said is a failure.
            r = subprocess.run(["systemd-analyze", "verify", "--man=no",
                                os.path.join(units, "quenlo-watch@srv-scans.service")],
                               capture_output=True, text=True)
            if r.returncode != 0 or r.stderr.strip() or r.stdout.strip():
                print(f"systemd-analyze verify: status {r.returncode}\n{r.stdout}{r.stderr}")
                return 1
            # Offline, as this machine's PID 1 need not be systemd; exposure in tenths.
            r = subprocess.run(["systemd-analyze", "security", "--offline=true", "--threshold=20", "--no-pager",
                                os.path.join(units, "quenlo-watch@srv-scans.service")],
                               capture_output=True, text=True)
            if r.returncode != 0:
                print(f"systemd-analyze security: status {r.returncode}\n{r.stdout[-3000:]}{r.stderr}")
                return 1
            verified = True
        else:
            verified = False

        # %f is the instance unescaped as an absolute path: the folder's.
        # $QUENLO_OPTIONS comes from the environment file, split into words.
        folder = os.path.join(tmp, "scans")
        os.makedirs(os.path.join(folder, "sub"))
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples")
        for name in ("stripes.ipr", "stripes.rgb"):
            shutil.copy(os.path.join(source, name), os.path.join(folder, "sub"))
        if "%I" in exec_lines[0] or "$QUENLO_OPTIONS" not in exec_lines[0]:
            print(f"the unit should name the folder by %f and take $QUENLO_OPTIONS: {exec_lines[0]}")
            return 1
        line = exec_lines[0][len("ExecStart="):].replace("%f", folder)
        argv = [w for word in shlex.split(line) for w in (["-r", "--settle", "100"] if word == "$QUENLO_OPTIONS" else [word])]
        argv[0] = built
        r = subprocess.run(argv + ["--idle-exit", "0.5"], capture_output=True, text=True, timeout=30)
        out = os.path.join(folder, "bmp", "sub", "stripes.bmp")
        if r.returncode != 0 or not os.path.exists(out):
            print(f"{' '.join(argv)}: status {r.returncode}, {out} {'made' if os.path.exists(out) else 'missing'}\n{r.stderr}")
            return 1
    if not verified:
        print("systemd-analyze is not installed, so the unit's command line was only run")
        return SKIP
    print("unit checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
