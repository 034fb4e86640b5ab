#!/usr/bin/env bash
# Checks the bash completion: calls its function as bash does, with the
# words typed so far, in a scratch directory of known names.
set -euo pipefail
source "$(cd "$(dirname "$0")" && pwd)/twinfind.bash"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir -p data/deep docs ./-x
touch notes.txt data/file ./-y

failures=0
# expect "WORDS..." "SUGGESTIONS": the last word is the one being completed;
# the suggestions are compared sorted, on one line.
expect() {
  local -a words
  read -r -a words <<<"$1"
  [[ $1 == *' ' ]] && words+=('')  # a trailing space: a new, empty word
  COMP_WORDS=("${words[@]}")
  COMP_CWORD=$((${#words[@]} - 1))
  COMPREPLY=()
  _twinfind
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd' ')
  if [ "$got" != "$2" ]; then
    printf 'FAILED: "%s": expected "%s", got "%s"\n' "$1" "$2" "$got" >&2
    failures=$((failures + 1))
  fi
}

expect "twinfind -" "-- --help --version -C -F -H -V"
expect "twinfind --v" "--version"
expect "twinfind " "-x data docs"                       # a PATH: directories only
expect "twinfind d" "data docs"
expect "twinfind data/" "data/deep"
expect "twinfind -F " "-x -y data docs notes.txt"       # a FILE: files too
expect "twinfind -files n" "notes.txt"                  # only the letter counts
expect "twinfind -C " ""                                # a COUNT: nothing
expect "twinfind -c 2 d" "data docs"                    # after the COUNT, a PATH
expect "twinfind -V -- -" "-x"                          # after --, no options
expect "twinfind -F -- -" "-x -y"                       # -F still waits after --
expect "twinfind -- -F " "-x data docs"                 # -F after -- is a PATH

[ "$(complete -p twinfind)" = "complete -o filenames -F _twinfind twinfind" ] ||
  { echo "FAILED: twinfind's completion is not registered" >&2; failures=$((failures + 1)); }
if [ "$failures" != 0 ]; then
  echo "bash completion: $failures check(s) failed" >&2
  exit 1
fi
echo "bash completion: options, directories for PATH, files for -F"
