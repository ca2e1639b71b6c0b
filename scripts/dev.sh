#!/usr/bin/env bash
# The project's entry points for a fresh machine:
#   scripts/dev.sh demo   install, build, program a simulated CP2102 and show it
#   scripts/dev.sh test   install, build every preset, run every test
#   scripts/dev.sh bench  install, build, time the programming run
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
}

bench() {
  build default
  "$root/build/default/tests/bench_program" "$root/build/default/app/stelloprog" \
    "$root/build/default/sim" 200
}

scripts/setup.sh
case "${1:-}" in
  demo) demo ;;
  test) test_all ;;
  bench) bench ;;
  *) echo "usage: scripts/dev.sh demo|test|bench" >&2; exit 2 ;;
esac
