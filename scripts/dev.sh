#!/usr/bin/env bash
# The project's entry points for a fresh machine:
#   scripts/dev.sh demo   install, build, program a simulated CP2102 and show it
#   scripts/dev.sh test   install, build every preset, run every test
#   scripts/dev.sh bench  install, build, time the programming run, count its USB transfers
#   scripts/dev.sh fuzz [seconds]  run each fuzz target longer (default 600 s)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

demo() {
  build default
  local dir=$root/build/demo
  rm -rf "$dir" && mkdir -p "$dir"
  cp vendor/sim/examples/factory-cp2102.json "$dir/state.json"
  echo 12345678 >"$dir/serial.txt"
  echo "== the simulated bridge before ($dir/state.json)"
  cat "$dir/state.json"
  echo "== stelloprog -v -p serial.txt"
  local rc=0
  (cd "$dir" && CP210X_SIM_STATE=$dir/state.json LD_LIBRARY_PATH=$root/build/default/sim \
    "$root/build/default/app/stelloprog" -v -p serial.txt) || rc=$?
  echo "== exit code $rc"
  echo "== the simulated bridge after"
  cat "$dir/state.json"
  return $rc
}

test_all() {
  for preset in default clang sanitize; do
    echo "== preset $preset"
    build "$preset"
    ctest --preset "$preset"
  done
  windows
  fuzz 20
  # The program and the USB module on a real kernel USB stack, in a VM.
  echo "== VM stage"
  vm/run.sh build/default
}

# The Windows programs: both built and their imports checked, the x64 one run
# through the whole-program cases of build/default under Wine; then the zip.
windows() {
  for preset in mingw-x64 mingw-x86; do
    echo "== preset $preset"
    build "$preset"
    ctest --preset "$preset"
  done
  cmake --build --preset mingw-x64 --target package
}

# Runs each fuzz target for $1 seconds, starting from the seeds in fuzz/corpus;
# what it finds beyond them is kept in build/fuzz/corpus, crashes in build/fuzz.
fuzz() {
  local seconds=${1:-20} dir=$root/build/fuzz
  echo "== fuzz targets, ${seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz --target fuzz_serialfile fuzz_cmdline
  for target in serialfile cmdline; do
    mkdir -p "$dir/corpus/$target"
    (cd "$dir" && "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      "$dir/corpus/$target" "$root/fuzz/corpus/$target")
  done
}

bench() {
  build default
  "$root/build/default/tests/bench_program" "$root/build/default/app/stelloprog" \
    "$root/build/default/sim" 200 "$root/build/default/usb" "$root/build/default/fakeusb"
}

scripts/setup.sh
case "${1:-}" in
  demo) demo ;;
  test) test_all ;;
  bench) bench ;;
  fuzz) fuzz "${2:-600}" ;;
  *) echo "usage: scripts/dev.sh demo|test|bench|fuzz [seconds]" >&2; exit 2 ;;
esac
