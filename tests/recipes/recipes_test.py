#!/usr/bin/env python3
"""Runs the README's GNU parallel recipe and Slurm array script on a small
tree, with quenlo-convert from the build on the PATH, and checks that the
shards together write exactly the files of one unsharded run, each once."""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile


def block(readme, tag):
    m = re.search(r"```sh " + tag + r"\n(.*?)```", readme, re.S)
    if not m:
        sys.exit(f"FAIL: the README has no ```sh {tag} block")
    return m.group(1)


def tree_files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


def same_tree(a, b, what):
    files = tree_files(a)
    if files != tree_files(b):
        sys.exit(f"FAIL: {what}: {tree_files(b)} instead of {files}")
    for f in files:
        if not filecmp.cmp(os.path.join(a, f), os.path.join(b, f), shallow=False):
            sys.exit(f"FAIL: {what}: {f} differs")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--readme", required=True)
    args = parser.parse_args()
    readme = open(args.readme, encoding="utf-8").read()
    env = dict(os.environ, PATH=os.path.abspath(args.bin) + os.pathsep + os.environ["PATH"])
    with tempfile.TemporaryDirectory() as tmp:
        scans = os.path.join(tmp, "scans")
        for i in range(12):
            folder = os.path.join(scans, f"f{i % 3}", "deep" if i % 2 else "")
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, f"p{i}.ipr"), "w") as f:
                f.write(f"{3 + i} 2 0 0")
            with open(os.path.join(folder, f"p{i}.rgb"), "wb") as f:
                f.write(bytes((i * 7 + k) & 255 for k in range((3 + i) * 2 * 3)))
        subprocess.run(["quenlo-convert", "-q", "-r", "-o", "all", "scans"], cwd=tmp, env=env, check=True)

        slurm = os.path.join(tmp, "convert.sh")
        with open(slurm, "w") as f:
            f.write(block(readme, "slurm-array"))
        for task in ("1", "2", "3"):
            subprocess.run(["bash", slurm], cwd=tmp, check=True,
                           env=dict(env, SCANS=scans, OUT=os.path.join(tmp, "slurm"), SLURM_ARRAY_TASK_ID=task,
                                    SLURM_ARRAY_TASK_COUNT="3"))
        same_tree(os.path.join(tmp, "all"), os.path.join(tmp, "slurm"), "the Slurm array's shards")

        if shutil.which("parallel") is None:
            print("parallel is not installed: the GNU parallel recipe was not run")
            return
        r = subprocess.run(["bash", "-e", "-c", block(readme, "parallel-recipe")], cwd=tmp, env=env,
                           capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"FAIL: the parallel recipe: {r.returncode}\n{r.stderr}")
        same_tree(os.path.join(tmp, "all"), os.path.join(tmp, "out"), "the parallel recipe's shards")
        if r.stdout.split() != ["12"]:
            sys.exit(f"FAIL: the reports count {r.stdout!r} conversions, not 12")


if __name__ == "__main__":
    main()
