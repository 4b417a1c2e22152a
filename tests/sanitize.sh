#!/usr/bin/env bash
# The native and Python test suites under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the native pool tests under ThreadSanitizer (make tsan). Any sanitizer report fails the run.
#
# The extension is built by CMake directly (not pip) into build/asan and imported from there
# through PYTHONPATH. The interpreter itself is not instrumented, so ASan's runtime has to be the
# first library of the process: it is preloaded. UBSan's runtime needs no preloading; it comes
# in as a dependency of the extension. PYTHONMALLOC=malloc routes Python's allocations through
# malloc, so ASan sees every buffer NumPy and the interpreter hand to the module. Leak detection
# is off for the interpreter: it keeps interned objects, static types and modules alive at exit
# by design, and those reports would drown any real one (the module's own memory is checked by
# tests/python/test_leaks.py and by the native tests, which run with leak detection on).
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
PYTHON=${PYTHON_SANITIZE:-.venv/np2/bin/python}
BUILD=build/asan
# Vectors annotated for ASan: a read past size() inside the capacity is reported too.
CXXFLAGS_SANITIZE="-D_GLIBCXX_SANITIZE_VECTOR"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

echo "== build: AddressSanitizer + UndefinedBehaviorSanitizer in $BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQELT_BUILD_EXTENSION=ON -DQELT_BUILD_TESTS=ON -DQELT_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS_SANITIZE" -DPython_EXECUTABLE="$PWD/$PYTHON"
cmake --build "$BUILD" -j "$JOBS"

echo "== native tests under ASan + UBSan"
# Left out under ASan only: a child forked while other threads allocate can inherit ASan's
# allocator lock held (this libasan does not take it around fork) and then waits on it forever,
# a limitation of the sanitizer. The case runs in the plain and the ThreadSanitizer builds.
ASAN_OPTIONS=detect_leaks=1 GTEST_FILTER="-PoolFork.ChildrenForkedWhileThePoolIsBusyFinish" \
  ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$JOBS"

echo "== Python tests under ASan + UBSan"
LIBASAN=$(g++ -print-file-name=libasan.so)
[ -f "$LIBASAN" ] || { echo "no libasan.so next to g++" >&2; exit 1; }
# pytest captures standard error, and a halted process loses what was captured. ASan's reports
# go to files (one per process, the tests' subprocesses included); UBSan in this runtime ignores
# log_path, so pytest leaves file descriptor 2 alone (--capture=sys) and it is kept in a file.
# Both are searched afterwards. A subprocess that UBSan halts fails its test by its exit status.
REPORTS="$PWD/$BUILD/sanitizer-reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
export LD_PRELOAD="$LIBASAN" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$BUILD"
export ASAN_OPTIONS="detect_leaks=0:log_path=$REPORTS/asan"
# The suite must import the instrumented build, not an installed wheel.
"$PYTHON" -c "import qelt_native, sys; sys.exit(not qelt_native.__file__.startswith('$PWD/$BUILD/'))"
# test_build.py checks the shipped shared object's linkage (this one needs the sanitizer
# runtimes); test_wheel.py builds wheels with pip, which would only run the compiler under ASan.
status=0
"$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys tests/python \
  --ignore tests/python/test_build.py --ignore tests/python/test_wheel.py \
  2> "$REPORTS/stderr.log" || status=$?
unset LD_PRELOAD PYTHONMALLOC PYTHONPATH ASAN_OPTIONS
found=0
if compgen -G "$REPORTS/asan*" > /dev/null; then
  cat "$REPORTS"/asan*
  found=1
fi
if grep -n -A40 -E "runtime error:|ERROR: [A-Za-z]*Sanitizer" "$REPORTS/stderr.log" \
  > "$REPORTS/reports.txt"; then
  head -n 400 "$REPORTS/reports.txt"
  found=1
fi
if [ "$found" = 1 ]; then
  echo "sanitizer reports above (all of them in $REPORTS)" >&2
  exit 1
fi
[ "$status" = 0 ] || exit "$status"

echo "== native pool tests under ThreadSanitizer"
"${MAKE:-make}" --no-print-directory tsan
