#!/usr/bin/env bash
# Builds the gate timing program against two cores, the one at OLD_REV (default: HEAD) and the
# working tree's, and runs it with 1 and 2 workers. Usage: bench/gate_timing.sh [OLD_REV] [REPEATS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OLD_REV=${1:-HEAD}
REPEATS=${2:-9}
OUT=$ROOT/build/gate_timing
JOBS=${JOBS:-2}
rm -rf "$OUT/old" "$OUT/obj" && mkdir -p "$OUT/old" "$OUT/obj/old" "$OUT/obj/new"
git -C "$ROOT" archive "$OLD_REV" src | tar -x -C "$OUT/old"
FLAGS="-std=c++23 -O3 -ffp-contract=off -fno-fast-math -fPIC -pthread"

compile_core() {  # $1: tag, $2: source root, $3: extra flags
  local src isa
  find "$2/src/runtime" "$2/src/pool" "$2/src/quantum" -name '*.cpp' ! -name gates.cpp |
    while read -r src; do
      isa=""
      case "$src" in *_avx2.cpp) isa=-mavx2 ;; *_avx512.cpp) isa=-mavx512f ;; esac
      echo "g++ $FLAGS $3 $isa -I$2/src -c $src -o $OUT/obj/$1/$(echo "$src" | tr / _).o"
    done | xargs -P "$JOBS" -I{} sh -c '{}'
  g++ $FLAGS $3 -I"$2/src" -I"$ROOT/bench/gate_timing" -DCORE_ENTRY=time_$1 \
    -c "$ROOT/bench/gate_timing/timing_core.cpp" -o "$OUT/obj/$1/timing_core.o"
}
compile_core old "$OUT/old" "-Dqelt=qelt_old"
compile_core new "$ROOT" ""
g++ $FLAGS -I"$ROOT/bench/gate_timing" "$ROOT/bench/gate_timing/timing_main.cpp" \
  "$OUT"/obj/old/*.o "$OUT"/obj/new/*.o -o "$OUT/gate_timing"
echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2), $(nproc) CPUs; old: $OLD_REV"
for w in 2 1; do RAYON_NUM_THREADS=$w "$OUT/gate_timing" "$REPEATS"; done
