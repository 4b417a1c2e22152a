#!/usr/bin/env bash
# Builds the gate timing program with CMake against two cores, the one at OLD_REV (default:
# HEAD) and the working tree's, and runs it with 2 and 1 workers.
# Usage: bench/gate_timing.sh [OLD_REV] [REPEATS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OLD_REV=${1:-HEAD}
REPEATS=${2:-9}
OUT=$ROOT/build/gate_timing
JOBS=${JOBS:-2}
GENERATOR=()
command -v ninja > /dev/null && GENERATOR=(-G Ninja)
rm -rf "$OUT/old" "$OUT/old-build" && mkdir -p "$OUT/old"
git -C "$ROOT" archive "$OLD_REV" src cmake CMakeLists.txt | tar -x -C "$OUT/old"
# The old core with its own build rules and flags, its namespace renamed.
cmake -S "$OUT/old" -B "$OUT/old-build" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-Dqelt=qelt_baseline \
  > /dev/null
cmake --build "$OUT/old-build" --target qelt_core -j "$JOBS" > /dev/null
cmake -S "$ROOT" -B "$OUT/build" "${GENERATOR[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DQELT_BUILD_EXTENSION=OFF -DQELT_BUILD_TESTS=OFF -DQELT_BUILD_GATE_TIMING=ON \
  -DQELT_GATE_TIMING_BASELINE="$OUT/old" -DQELT_GATE_TIMING_BASELINE_BUILD="$OUT/old-build" \
  > /dev/null
cmake --build "$OUT/build" --target gate_timing -j "$JOBS" > /dev/null
python3 "$ROOT/bench/machine.py"
echo "old core: $OLD_REV"
for w in 2 1; do RAYON_NUM_THREADS=$w "$OUT/build/bench/gate_timing/gate_timing" "$REPEATS"; done
