#!/usr/bin/env bash
# Checks the bash completion: calls its function as bash does, with the
# words typed so far, in a scratch directory of known names. Its options
# are checked against those the program's own usage text lists:
#   completion/twinfind_test.sh build/twinfind
set -euo pipefail
program=$(realpath "$1")
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

expect "twinfind -" "-- --help --version -A -C -E -F -H -J -L -R -S -U -V"
expect "twinfind --v" "--version"
expect "twinfind " "-x data docs"                       # a PATH: directories only
expect "twinfind d" "data docs"
expect "twinfind data/" "data/deep"
expect "twinfind -F " "-x -y data docs notes.txt"       # a FILE: files too
expect "twinfind -files n" "notes.txt"                  # only the letter counts
expect "twinfind -C " ""                                # a COUNT: nothing
expect "twinfind -c 2 d" "data docs"                    # after the COUNT, a PATH
expect "twinfind -L " ""                                # a DEPTH: nothing
expect "twinfind -levels 2 d" "data docs"               # after the DEPTH, a PATH
expect "twinfind -AL " ""                               # letters together: -A -L
expect "twinfind -AL 2 d" "data docs"
expect "twinfind -sf n" "notes.txt"                     # -S -F
expect "twinfind -AS d" "data docs"
expect "twinfind -UF n" "notes.txt"                     # -U -F
expect "twinfind -LA 2 d" "data docs"                   # no bundle: -L by its letter
expect "twinfind -V -- -" "-x"                          # after --, no options
expect "twinfind -F -- -" "-x -y"                       # -F still waits after --
expect "twinfind -- -F " "-x data docs"                 # -F after -- is a PATH

# Every option of the usage text's parameter list ("    -X" or
# "    -X PARAMETER" at the start of a line) is offered, -? as its other
# spelling -H (a '?' would be a wildcard to the shell); and what follows it
# completes as its parameter says: a FILE files, a COUNT or a DEPTH
# nothing, no
# parameter a PATH. A parameter of another kind needs a completion of its
# own, and fails here until it has one.
usage=$("$program" --help)
options=$(sed -n 's/^    \(-[A-Z?]\)\( [A-Z]\+\)\? .*/\1\2/p' <<<"$usage")
[ "$(wc -l <<<"$options")" -ge 6 ] ||
  { echo "FAILED: too few options in the usage text: $options" >&2; failures=$((failures + 1)); }
COMP_WORDS=(twinfind -)
COMP_CWORD=1
COMPREPLY=()
_twinfind
offered=" ${COMPREPLY[*]} "
while read -r option parameter; do
  [ "$option" = "-?" ] && option=-H
  if [[ $offered != *" $option "* ]]; then
    printf 'FAILED: the usage text lists %s, the completion does not offer it\n' "$option" >&2
    failures=$((failures + 1))
  fi
  case $parameter in
    '') [ "$option" = -H ] || expect "twinfind $option " "-x data docs" ;;
    FILE) expect "twinfind $option " "-x -y data docs notes.txt" ;;
    COUNT | DEPTH) expect "twinfind $option " "" ;;
    *) printf 'FAILED: %s takes a %s, which the completion does not know\n' "$option" "$parameter" >&2
       failures=$((failures + 1)) ;;
  esac
done <<<"$options"

[ "$(complete -p twinfind)" = "complete -o filenames -F _twinfind twinfind" ] ||
  { echo "FAILED: twinfind's completion is not registered" >&2; failures=$((failures + 1)); }
if [ "$failures" != 0 ]; then
  echo "bash completion: $failures check(s) failed" >&2
  exit 1
fi
echo "bash completion: every option of the usage text, directories for PATH, files for -F"
