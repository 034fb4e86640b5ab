#!/usr/bin/env python3
"""Checks that every relative link of the README and of the guides in doc/
leads somewhere: to a file that exists and, where the link names a heading
(`file.md#heading`, or `#heading` in the same file), to a heading of that
file, spelled as GitHub makes its anchors.

    scripts/link_check.py

Links to other sites are not followed. Exits 1, naming each broken link,
when any is broken."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6} (.*)$")


def anchor(heading):
    """The anchor GitHub gives a heading: lower case, spaces as hyphens,
    every other character that is not a letter, digit, hyphen or
    underscore left out."""
    text = heading.strip().lower().replace(" ", "-")
    return "".join(c for c in text if c.isalnum() or c in "-_")


def anchors(path):
    found = set()
    in_code = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                in_code = not in_code
            match = HEADING.match(line.rstrip("\n"))
            if match and not in_code:
                found.add(anchor(match.group(1)))
    return found


def documents():
    yield os.path.join(ROOT, "README.md")
    folder = os.path.join(ROOT, "doc")
    for name in sorted(os.listdir(folder)):
        if name.endswith(".md"):
            yield os.path.join(folder, name)


def broken_links(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    # Indented blocks are examples, not links.
    prose = "\n".join(l for l in text.split("\n") if not l.startswith("    "))
    for target in LINK.findall(prose):
        if re.match(r"^[a-z]+:", target):
            continue
        file_part, _, heading = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        if not os.path.exists(linked):
            yield target, "no such file"
        elif heading and linked.endswith(".md") and heading not in anchors(linked):
            yield target, "no such heading"


def main():
    problems = 0
    checked = 0
    for path in documents():
        checked += 1
        for target, why in broken_links(path):
            print(f"{os.path.relpath(path, ROOT)}: ({target}): {why}", file=sys.stderr)
            problems += 1
    if problems:
        print(f"{problems} broken link(s)", file=sys.stderr)
        return 1
    print(f"every link of README.md and doc/ leads somewhere ({checked} files)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
