#!/usr/bin/env python3
"""Builds the Debian package from the build tree, unpacks it, runs the
unpacked programs and renders their manual pages. Also checks that every
option the programs' --help lists is in their manual page and in their bash
completion, so new options do not go undocumented."""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def fail(text):
    sys.exit("FAIL: " + text)


def listed_options(help_text):
    """Options in CLI11 help: the first column of lines that start with '-'."""
    options = set()
    for line in help_text.splitlines():
        m = re.match(r"\s+(-[^\s]*)", line)
        if m:
            options.update(o for o in m.group(1).split(",") if o.startswith("-"))
    return options


def completions(completion_file, words):
    """What the bash completion offers for the last of words."""
    script = (f'source "{completion_file}"\n'
              'fn=$(complete -p "$1"); fn=${fn#*-F }; fn=${fn%% *}\n'
              'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()\n'
              '"$fn" 2>/dev/null; printf "%s\\n" "${COMPREPLY[@]}"\n')
    return set(filter(None, run("bash", "-c", script, "bash", *words).splitlines()))


def check_consumer(source, root, multiarch, tmp):
    """Someone else's program built against the unpacked -dev package, by
    its CMake package and by pkg-config, and the unpacked Python module."""
    sample = os.path.join(source, "samples", "harbour.ipr")
    project = os.path.join(source, "tests", "package", "consumer")
    build = os.path.join(tmp, "consumer-cmake")
    run("cmake", "-S", project, "-B", build, "-DCMAKE_PREFIX_PATH=" + os.path.join(root, "usr"))
    run("cmake", "--build", build)
    flags = run("pkg-config", "--cflags", "--libs", "quenlo",
                env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(root, "usr", "lib", multiarch, "pkgconfig"))).split()
    by_pc = os.path.join(tmp, "consumer-pc")
    run("c++", "-std=c++17", os.path.join(project, "consumer.cpp"), "-o", by_pc, *flags)
    for program in (os.path.join(build, "consumer"), by_pc):
        out = run(program, sample, os.path.join(tmp, "consumer.png"))
        if out != "161 97 same 10,20,30\nnot-found\n":
            fail(f"{program} printed {out!r}")
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3"
    shape = run(python, "-c", "import sys, quenlo; print(quenlo.read(sys.argv[1]).shape)", sample,
                env=dict(os.environ, PYTHONPATH=os.path.join(root, "usr", "lib", "python3", "dist-packages")))
    if shape != "(97, 161, 3)\n":
        fail("the unpacked Python module read " + shape)


def main():
    ap = argparse.ArgumentParser()
    for name in ("cpack", "build", "source", "version", "skip-because"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()
    if args.skip_because:
        print("skipped:", args.skip_because)
        return SKIP
    for tool in ("dpkg-deb", "dpkg-shlibdeps", "file", "man", "pkg-config", "c++"):
        if not shutil.which(tool):
            fail(f"{tool} is missing; 'make deps' installs it")

    arch = run("dpkg", "--print-architecture").strip()
    with tempfile.TemporaryDirectory() as tmp:
        # cpack rather than the package target: that would rebuild the tree
        # under the running tests.
        run(args.cpack, "-G", "DEB", "--config", os.path.join(args.build, "CPackConfig.cmake"),
            "-B", os.path.join(tmp, "pkg"))
        debs = {name: os.path.join(tmp, "pkg", f"{name}_{args.version}_{arch}.deb")
                for name in ("quenlo", "libquenlo0", "libquenlo-dev", "python3-quenlo")}
        for d in debs.values():
            if not os.path.exists(d):
                fail(f"no {os.path.basename(d)} in {os.listdir(os.path.join(tmp, 'pkg'))}")
        deb = debs["quenlo"]
        multiarch = run("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
        for name, paths in (("libquenlo0", [f"usr/lib/{multiarch}/libquenlo.so.0"]),
                            ("libquenlo-dev", ["usr/include/quenlo/quenlo.h", f"usr/lib/{multiarch}/libquenlo.so",
                                               f"usr/lib/{multiarch}/cmake/Quenlo/QuenloConfig.cmake",
                                               f"usr/lib/{multiarch}/pkgconfig/quenlo.pc"]),
                            ("python3-quenlo", ["usr/lib/python3/dist-packages/quenlo.cpython-311-" + multiarch + ".so"])):
            listing = run("dpkg-deb", "-c", debs[name])
            for path in paths + [f"usr/share/doc/{name}/copyright"]:
                if f"./{path}" not in listing:
                    fail(f"{path} is not in {name}:\n{listing}")
        if "libquenlo 0 libquenlo0" not in run("dpkg-deb", "-I", debs["libquenlo0"], "shlibs"):
            fail("libquenlo0 has no shlibs entry for libquenlo.so.0")

        contents = run("dpkg-deb", "-c", deb)
        for path in ("usr/bin/quenlo", "usr/bin/quenlo-convert", "usr/bin/quenlo-scene",
                     "usr/share/applications/quenlo.desktop",
                     "usr/share/icons/hicolor/scalable/apps/quenlo.svg",
                     "usr/share/man/man1/quenlo.1.gz", "usr/share/man/man1/quenlo-convert.1.gz",
                     "usr/share/man/man1/quenlo-scene.1.gz",
                     "usr/share/bash-completion/completions/quenlo-convert",
                     "usr/share/bash-completion/completions/quenlo-scene",
                     "usr/lib/systemd/user/quenlo-watch@.service",
                     "usr/share/doc/quenlo/README.md", "usr/share/doc/quenlo/copyright",
                     "usr/share/doc/quenlo/changelog.gz",
                     "usr/share/locale/en/LC_MESSAGES/quenlo.mo", "usr/share/locale/ja/LC_MESSAGES/quenlo.mo"):
            if not re.search(rf"^\S+ root/root .* \./{re.escape(path)}$", contents, re.M):
                fail(f"{path} is not in the package (owned by root):\n{contents}")
        # Every picture the installed README shows is installed beside it.
        with open(os.path.join(args.source, "README.md"), encoding="utf-8") as f:
            for picture in re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", f.read()):
                path = os.path.normpath(os.path.join("usr/share/doc/quenlo", picture))
                if not re.search(rf"^\S+ root/root .* \./{re.escape(path)}$", contents, re.M):
                    fail(f"the README shows {picture}, but {path} is not in the package")
        depends = run("dpkg-deb", "-f", deb, "Depends") + run("dpkg-deb", "-f", debs["libquenlo0"], "Depends")
        for lib in ("libc6", "libjpeg62-turbo", "libqt6widgets6", "libspng0", "libtiff6", f"libquenlo0 (= {args.version})"):
            if lib not in depends:
                fail(f"dpkg-shlibdeps found no {lib}: Depends: {depends}")

        root = os.path.join(tmp, "root")
        for d in debs.values():
            run("dpkg-deb", "-x", d, root)
        # The unpacked programs find the unpacked library.
        os.environ["LD_LIBRARY_PATH"] = os.path.join(root, "usr", "lib", multiarch)
        check_consumer(args.source, root, multiarch, tmp)
        bin_dir = os.path.join(root, "usr", "bin")
        convert = os.path.join(bin_dir, "quenlo-convert")
        scene = os.path.join(bin_dir, "quenlo-scene")
        built = os.path.join(args.build, "bin")
        samples = os.path.join(args.source, "samples")

        if run(convert, "--version") != f"quenlo-convert {args.version}\n":
            fail("quenlo-convert --version: " + run(convert, "--version"))
        if run(scene, "--version") != f"quenlo-scene {args.version}\n":
            fail("quenlo-scene --version: " + run(scene, "--version"))

        # The unpacked program finds the unpacked catalogues beside it.
        r = subprocess.run([convert, "-q", os.path.join(tmp, "missing.jpg")], capture_output=True, text=True,
                           env=dict(os.environ, LC_ALL="C"))
        if not r.stderr.endswith("missing.jpg: File not found\n"):
            fail("quenlo-convert in the C locale: " + r.stderr)

        # The stripped programs write what the built ones write.
        inputs = [os.path.join(samples, n) for n in ("stripes.ipr", "palette.bmp")]
        for program, out in ((convert, "unpacked"), (os.path.join(built, "quenlo-convert"), "built")):
            run(program, "-q", "-o", os.path.join(tmp, out), *inputs)
        star = os.path.join(samples, "scenes", "star.scene")
        run(scene, "render", star, "-o", os.path.join(tmp, "unpacked", "star.bmp"))
        run(os.path.join(built, "quenlo-scene"), "render", star, "-o", os.path.join(tmp, "built", "star.bmp"))
        for name in ("stripes.bmp", "palette.bmp", "star.bmp"):
            a, b = (os.path.join(tmp, d, name) for d in ("unpacked", "built"))
            if not filecmp.cmp(a, b, shallow=False) or open(a, "rb").read(2) != b"BM":
                fail(f"{name} from the package differs from the built program's")

        # The window, unattended, goes on past a file it cannot write and
        # reports it rather than waiting on a box that nobody closes.
        window = os.path.join(tmp, "window")
        os.makedirs(window)
        for name in ("stripes.ipr", "stripes.rgb"):
            shutil.copy(os.path.join(samples, name), window)
        open(os.path.join(window, "notes.txt"), "w").close()
        r = subprocess.run([os.path.join(bin_dir, "quenlo"), "--exit-when-done", "notes.txt", "stripes.ipr"],
                           cwd=window, capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        if r.returncode != 1 or "notes.txt: unsupported file type" not in r.stderr:
            fail(f"quenlo --exit-when-done: status {r.returncode}\n{r.stderr}")
        if not filecmp.cmp(os.path.join(window, "stripes.bmp"), os.path.join(tmp, "built", "stripes.bmp"), shallow=False):
            fail("the window's stripes.bmp differs from quenlo-convert's")

        man_dir = os.path.join(root, "usr", "share", "man", "man1")
        pages = {}
        for page in ("quenlo", "quenlo-convert", "quenlo-scene"):
            # Wide enough that no option is hyphenated across lines.
            r = subprocess.run(["man", "--warnings", "-E", "ascii", "-l", os.path.join(man_dir, page + ".1.gz")],
                               capture_output=True, text=True, env=dict(os.environ, MANWIDTH="1000"))
            if r.returncode != 0 or r.stderr:
                fail(f"man -l {page}.1.gz: status {r.returncode}\n{r.stderr}")
            for heading in ("NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "BAD INPUT", "EXAMPLES"):
                if not re.search(rf"^{heading}$", r.stdout, re.M):
                    fail(f"{page}(1) has no {heading} section")
            if f"QUENLO {args.version}" not in r.stdout:
                fail(f"{page}(1) does not name version {args.version}")
            pages[page] = r.stdout

        completion_dir = os.path.join(root, "usr", "share", "bash-completion", "completions")
        commands = {"quenlo-convert": [[]], "quenlo-scene": [[], ["render"], ["write"], ["view"]]}
        for program, subcommands in commands.items():
            for sub in subcommands:
                listed = listed_options(run(os.path.join(bin_dir, program), *sub, "--help"))
                words = [program] + sub + (["x"] if sub else []) + ["-"]
                offered = completions(os.path.join(completion_dir, program), words)
                for option in sorted(listed):
                    if not re.search(rf"(?<![\w-]){re.escape(option)}(?![\w-])", pages[program]):
                        fail(f"{program} {' '.join(sub)} {option} is not in {program}(1)")
                    if option not in offered:
                        fail(f"{program} {' '.join(sub)} {option} is not completed (offered: {sorted(offered)})")
        os.makedirs(os.path.join(tmp, "files"))
        for name in ("a.IPR", "b.jpg", "c.txt", "d.scene"):
            open(os.path.join(tmp, "files", name), "w").close()
        files = os.path.join(tmp, "files") + "/"
        offered = completions(os.path.join(completion_dir, "quenlo-convert"), ["quenlo-convert", files])
        if offered != {files + "a.IPR", files + "b.jpg"}:
            fail(f"quenlo-convert completes {sorted(offered)}")
        # Not among the packages make installs (it pulls in much of Perl), so
        # only checked where someone installed it.
        if shutil.which("lintian"):
            r = subprocess.run(["lintian", "--fail-on", "error,warning", *debs.values()], capture_output=True, text=True)
            if r.returncode != 0:
                fail("lintian:\n" + r.stdout + r.stderr)
        else:
            print("lintian is not installed, so not run")
    print("packages checked:", ", ".join(os.path.basename(d) for d in debs.values()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
