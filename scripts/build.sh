#!/usr/bin/env bash
# Builds the programs into build/ (build/trellis, build/trellis-reg, build/lookout) and the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
# With ccache (setup.sh installs it) a rebuild compiles only what changed.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j"$(nproc)"
