#!/usr/bin/env bash
# Checks that scripts/run keeps quiet about a build that succeeds and shows
# everything a failed build printed. A stand-in cmake plays the build, so
# the check takes no time: scripts/run is copied into a scratch tree with a
# stand-in program, and the stand-in cmake comes first on PATH.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts" "$scratch/build" "$scratch/bin"
cp "$source_dir/scripts/run" "$scratch/scripts/run"
printf '#!/bin/sh\necho "twinfind ran with: $*"\n' > "$scratch/build/twinfind"
cat > "$scratch/bin/cmake" <<'STAND_IN'
#!/bin/sh
echo "cmake $*" >> "$SCRATCH/cmake-calls"
echo "[1/2] Building CXX object cli/main.cc.o"
if [ -n "${FAIL_WITH:-}" ]; then
  echo "cli/main.cc:7:1: error: $FAIL_WITH" >&2
  echo "ninja: build stopped: subcommand failed."
  exit 3
fi
echo "[2/2] Linking CXX executable twinfind"
STAND_IN
chmod +x "$scratch/build/twinfind" "$scratch/bin/cmake"
export SCRATCH=$scratch PATH="$scratch/bin:$PATH"

failures=0
check() { # check WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAILED: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3" >&2
    failures=$((failures + 1))
  fi
}

run() { # run ARGUMENTS...: sets status, out and err
  status=0
  "$scratch/scripts/run" "$@" > "$scratch/out" 2> "$scratch/err" || status=$?
  out=$(cat "$scratch/out")
  err=$(cat "$scratch/err")
}

# A build that succeeds: the program's output and nothing else.
touch "$scratch/build/build.ninja"
run -V /data
check "success: exit status" 0 "$status"
check "success: standard output" "twinfind ran with: -V /data" "$out"
check "success: standard error" "" "$err"

# A build that fails: everything it printed, its status, and no run.
FAIL_WITH="expected ';' before '}' token" run /data
check "failure: exit status" 3 "$status"
check "failure: standard output" "" "$out"
check "failure: standard error" "[1/2] Building CXX object cli/main.cc.o
cli/main.cc:7:1: error: expected ';' before '}' token
ninja: build stopped: subcommand failed.
scripts/run: the build failed (cmake --build $scratch/build --target twinfind)" "$err"

# Without a PATH, a demo: snapshots made in a temporary folder, and
# twinfind -A -S on them, run from there; the folder goes when it ends.
run
check "demo: exit status" 0 "$status"
check "demo: the run" "twinfind ran with: -A -S snap.1 snap.2 snap.3" "$out"
TWINFIND=$scratch/build/twinfind run
check "demo with a program given: the run" "twinfind ran with: -A -S snap.1 snap.2 snap.3" "$out"

# The first run configures too, says so in one line, and a failure there
# is shown as well.
rm "$scratch/build/build.ninja" "$scratch/cmake-calls"
FAIL_WITH="no compiler" run /data
check "configure: exit status" 3 "$status"
check "configure: the step that failed" "cmake --preset default -S $scratch" "$(cat "$scratch/cmake-calls")"
check "configure: the error shown" "cli/main.cc:7:1: error: no compiler" "$(grep error: <<<"$err")"
check "configure: what it does, first" "building twinfind (first run, about a minute)..." "$(head -1 <<<"$err")"
rm "$scratch/cmake-calls"
run /data
check "first run: exit status" 0 "$status"
check "first run: one line on standard error" "building twinfind (first run, about a minute)..." "$err"
check "first run: standard output" "twinfind ran with: /data" "$out"
touch "$scratch/build/build.ninja"

if [ "$failures" != 0 ]; then
  echo "scripts/run: $failures check(s) failed" >&2
  exit 1
fi
echo "scripts/run: one line on the first build, quiet once built, shows a failed build, runs the demo"
