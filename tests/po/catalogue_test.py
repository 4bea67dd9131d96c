#!/usr/bin/env python3
"""Every Japanese text in the sources goes through Tr() and has an English
text in po/en.po, and every catalogue entry still has its source text."""
import glob
import re
import subprocess
import sys


def entries(text):
    """msgid -> msgstr of a .po or .pot text (no plurals or contexts)."""
    found, key, field = {}, None, None
    for line in text.splitlines():
        m = re.match(r'(msgid|msgstr) "(.*)"$', line)
        if m:
            field = m.group(1)
            if field == "msgid":
                key = m.group(2)
            else:
                found[key] = m.group(2)
        elif line.startswith('"') and field == "msgid":
            key += line[1:-1]
        elif line.startswith('"') and field == "msgstr":
            found[key] += line[1:-1]
    return found


# Kana, CJK ideographs and full-width forms.
JAPANESE = re.compile("[\u3000-\u30ff\u4e00-\u9fff\uff00-\uffef]")


def main():
    root = sys.argv[1]
    sources = sorted(glob.glob(f"{root}/src/**/*.cpp", recursive=True) + glob.glob(f"{root}/src/**/*.h", recursive=True))
    pot = subprocess.run(["xgettext", "--from-code=UTF-8", "--language=C++", "-k", "-kTr", "-kQTr", "-o", "-", *sources],
                         capture_output=True, text=True, check=True).stdout
    used = entries(pot)
    problems = []
    # A Japanese text outside Tr() would reach every reader untranslated.
    for name in sources:
        for number, line in enumerate(open(name, encoding="utf-8"), 1):
            for literal in re.findall(r'(Tr\(\s*)?"((?:[^"\\]|\\.)*)"', line):
                if not literal[0] and JAPANESE.search(literal[1]) and not line.lstrip().startswith("//"):
                    problems.append(f"{name}:{number}: {literal[1]!r} is not given to Tr()")
    for po in sorted(glob.glob(f"{root}/po/*.po")):
        catalogue = entries(open(po, encoding="utf-8").read())
        problems += [f"{po}: {m!r} is no longer a source text" for m in catalogue if m and m not in used]
        if po.endswith("/en.po"):
            problems += [f"{po}: no English for {m!r}" for m in used if JAPANESE.search(m) and not catalogue.get(m)]
    print("\n".join(problems) or f"{len(used) - 1} source texts, every one readable in English")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
