#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and end-to-end tests against the
# normal build, the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# short run of each fuzz target.
#
# TEST_LOAD=1 runs the same with the machine loaded: stress-ng keeps every processor busy for the
# whole run (stopped when the script ends, however it ends), as on a shared or busy CI machine. No
# test may depend on how fast the machine is, so the result must be the same.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh

if [ "${TEST_LOAD:-0}" != 0 ]; then
  # --timeout: the load ends by itself an hour on even if this script is killed outright.
  stress-ng --cpu "$jobs" --timeout 3600 --quiet &
  load=$!
  trap 'kill "$load" 2>/dev/null || true; wait "$load" 2>/dev/null || true' EXIT
  echo "== load: stress-ng --cpu $jobs (pid $load) for the whole run"
fi
# Repeated runs compile only what changed when ccache is there (setup.sh installs it).
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

echo "== build"
bash scripts/build.sh
echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRELLIS_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit --timeout 600

if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzz"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DTRELLIS_FUZZ=ON -DTRELLIS_TESTS=OFF \
    "${launcher[@]}" >/dev/null
  cmake --build build-fuzz -j"$jobs"
  # About three minutes of fuzzing in all, shared among the targets (at least 8 s each), so CI
  # stays well inside its time as targets are added; FUZZ_SECONDS sets each target's time.
  targets=(build-fuzz/*_fuzz)
  per=$((180 / ${#targets[@]}))
  ((per < 8)) && per=8
  for f in "${targets[@]}"; do
    [ -x "$f" ] || continue
    corpus="tests/fuzz/corpus/$(basename "$f")"
    mkdir -p "build-fuzz/corpus/$(basename "$f")"
    dict="tests/fuzz/$(basename "$f").dict"
    args=(-max_total_time="${FUZZ_SECONDS:-$per}" -print_final_stats=0)
    [ -f "$dict" ] && args+=(-dict="$dict")
    dirs=("build-fuzz/corpus/$(basename "$f")")
    [ -d "$corpus" ] && dirs+=("$corpus")
    if ! "$f" "${args[@]}" "${dirs[@]}" >"build-fuzz/$(basename "$f").log" 2>&1; then
      tail -n 40 "build-fuzz/$(basename "$f").log"
      echo "fuzz target $(basename "$f") failed" >&2
      exit 1
    fi
    echo "$(basename "$f"): $(grep -c . "build-fuzz/$(basename "$f").log") log lines, no failure"
  done
fi
echo "== all tests passed"
