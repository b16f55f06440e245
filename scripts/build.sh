#!/usr/bin/env bash
# Builds the programs into build/ (build/trellis, build/trellis-reg, build/lookout) and the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
