#!/usr/bin/env bash
# Runs the demos of the README and of its guide to the report as written and
# compares what they print with the reports shown, so that neither can drift
# from the program:
#   scripts/readme_test.sh build/twinfind
# The README shows what scripts/run prints without a PATH (a demo of its
# own, made on tmpfs, between "<!-- run: output" and "<!-- run: end -->").
# The guide's blocks are the indented lines between "<!-- demo: commands" or
# "<!-- demo: output" and "<!-- demo: end -->". Its commands run in a fresh
# directory in place of /tmp/demo, with the given program in place of
# scripts/run; the report is then written back in the guide's terms. The
# Unique IDs, inode numbers, differ from machine to machine and are masked.
set -euo pipefail
program=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
readme=$root/README.md
guide=$root/doc/reading-the-report.md

# The lines of one block of FILE, their indent taken off, without the blank
# lines around it.
block() { # block FILE KIND WHAT
  awk -v start="<!-- $2: $3" -v end="<!-- $2: end -->" '
    index($0, start) == 1 { inside = 1; next }
    inside && $0 == end { exit }
    inside && $0 == "" { if (printed) blanks++; next }
    inside {
      for (; blanks > 0; blanks--) print ""
      print substr($0, 5)
      printed = 1
    }' "$1"
}

# The README's demo: scripts/run without a PATH, with the given program.
shown=$(block "$readme" run output)
if [ -z "$shown" ]; then
  echo "README.md: no output of scripts/run found" >&2
  exit 1
fi
if [ -w /dev/shm ]; then
  # Spaces at the ends of lines, which the columns leave, are not shown.
  printed=$(TWINFIND=$program LC_ALL=C.UTF-8 "$root/scripts/run" 2>/dev/null | sed "s/ *$//")
  if ! diff -u --label "README.md" --label "scripts/run's output" <(echo "$shown") <(echo "$printed"); then
    echo "README.md: what scripts/run prints differs from the README's (above)" >&2
    exit 1
  fi
  echo "README.md: scripts/run prints the report shown"
else
  echo "README.md: no /dev/shm, whose sizes on disk the report shows: scripts/run's demo not compared"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
demo=$scratch/demo

commands=$(block "$guide" demo commands)
expected=$(block "$guide" demo output)
if [ -z "$commands" ] || [ -z "$expected" ] || ! grep -q '^scripts/run ' <<<"$commands"; then
  echo "doc/reading-the-report.md: no demo found (the commands, a scripts/run line and the output)" >&2
  exit 1
fi
commands=${commands//\/tmp\/demo/$demo}
commands=$(sed "s|^scripts/run |'$program' |" <<<"$commands")
# The demo's -F breakdowns search the file system of their files for
# every name, from its mount point: on the root file system, the whole
# machine. Where the system lets this script have a mount namespace of its
# own (as root, or as a user mapped to root), the demo runs on a tmpfs of
# its own there, and the search reads the demo's files alone.
run_demo() {
  cd "$scratch" && LC_ALL=C.UTF-8 bash -euo pipefail -c "$commands" 2>&1
}
run_demo_on_own_tmpfs() {
  unshare "$@" --propagation private bash -euo pipefail -c '
    mount -t tmpfs tmpfs "$1" && cd "$1" && LC_ALL=C.UTF-8 bash -euo pipefail -c "$2" 2>&1
  ' demo "$scratch" "$commands"
}
if unshare --mount true 2>/dev/null; then
  actual=$(run_demo_on_own_tmpfs --mount)
  mount_point=$scratch
elif unshare --mount --map-root-user true 2>/dev/null; then
  actual=$(run_demo_on_own_tmpfs --mount --map-root-user)
  mount_point=$scratch
else
  actual=$(run_demo)
  mount_point=$(stat -c %m "$scratch")
fi

# A breakdown names a file by its path from the mount point of its file
# system: the README's /tmp lies on the root file system, the scratch
# directory may not.
from_mount=${demo#"${mount_point%/}"}

# Back into the README's terms: every path as it would be under /tmp/demo,
# every underline as long as its heading then is, every Unique ID masked.
in_readme_terms() {
  awk -v demo="$demo" -v from_mount="$from_mount" '
    function replace_all(text, old, new,   at, result) {
      result = ""
      while ((at = index(text, old)) > 0) {
        result = result substr(text, 1, at - 1) new
        text = substr(text, at + length(old))
      }
      return result text
    }
    {
      line = $0
      if (index(line, "    " from_mount "/") == 1) line = "    " demo substr(line, length(from_mount) + 5)
      line = replace_all(line, demo, "/tmp/demo")
      if (line ~ /^=+$/ && length($0) == length(previous)) {
        line = sprintf("%*s", length(previous_line), "")
        gsub(/ /, "=", line)
      }
      sub(/^  Unique ID: +[0-9a-f]+$/, "  Unique ID: (masked)", line)
      previous = $0
      previous_line = line
      print line
    }'
}
mask_ids() { sed -E 's/^  Unique ID: +[0-9a-f]+$/  Unique ID: (masked)/'; }

if ! diff -u --label "doc/reading-the-report.md" --label "the demo's output" \
    <(mask_ids <<<"$expected") <(in_readme_terms <<<"$actual"); then
  echo "doc/reading-the-report.md: the demo's output differs from the guide's (above)" >&2
  exit 1
fi
echo "doc/reading-the-report.md: the demo prints the report shown"
