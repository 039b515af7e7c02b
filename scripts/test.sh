#!/usr/bin/env bash
# The whole test suite: dependencies, the formatting check of every tracked
# source, the check that sources built on every system use no Linux-only
# call, a -Werror build and its CTest run, the hardware lab (the production
# helper in a QEMU guest with real device classes), the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded session
# tests under ThreadSanitizer. Build trees are reused between runs, and ccache
# is used when it is installed. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
start=$(date +%s)
# Each phase's time, so that a slow run shows where the time went.
phase_start=$start
phase_done() {
  local now
  now=$(date +%s)
  echo "== $1: $((now - phase_start)) s"
  phase_start=$now
}

"$root/scripts/install-deps.sh"

# The formatter is pinned: another clang-format version formats differently.
echo "== formatting (clang-format-14)"
(cd "$root" && git ls-files -z '*.h' '*.cc' | xargs -0 clang-format-14 --dry-run -Werror)
phase_done "dependencies and formatting"

# The production helper also builds on macOS: what every system compiles
# must not call what only Linux has.
echo "== portability (no Linux-only call outside the Linux platform files)"
"$root/scripts/check-portable-sources.sh"
phase_done "portability"

# Unity builds compile each target's sources in a few batches, so the heavy
# headers (GoogleTest, nlohmann-json, CLI11) are read a few times per target
# rather than once per source; that halves the three trees' compile time.
# They also keep every file-local name unique within its target.
common=(-DRAVIK_WERROR=ON -DCMAKE_UNITY_BUILD=ON)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

# Ninja starts a target's compiles before the libraries it links are built,
# which keeps both cores busy where make leaves one idle. A tree configured
# earlier keeps the generator it has.
configure() {
  local tree=$1
  shift
  local generator=()
  if [[ ! -f $tree/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
  fi
  cmake -S "$root" -B "$tree" "${generator[@]}" "${common[@]}" "${launcher[@]}" "$@" >/dev/null
}

run_tree() {
  local tree=$1 label=$2
  shift 2
  echo "== $label: configure and build ($tree)"
  configure "$root/$tree" "$@"
  phase_done "$label: configure"
  cmake --build "$root/$tree" -j"$jobs"
  phase_done "$label: build"
}

# Line tables (-g1) keep file and line in backtraces and compile the tree in
# three quarters of the time full debug information takes.
run_tree build "normal build" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
echo "== normal build: tests"
(cd "$root/build" && ctest -j"$jobs" --timeout 900 --output-on-failure)
phase_done "normal build: tests"

# The production helper on emulated USB sticks, an SD card and system disks
# in a QEMU guest (tests/vm/lab.sh); skipped without QEMU unless
# RAVIK_REQUIRE_VM=1.
echo "== hardware lab: production helper in a QEMU guest"
"$root/tests/vm/lab.sh" "$root/build"
phase_done "hardware lab"

# halt_on_error keeps the first report fatal; detect_leaks stays on.
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_tree build-asan "address,undefined" -DRAVIK_SANITIZE=address,undefined \
  -DRAVIK_BUILD_BENCHMARKS=OFF
echo "== address,undefined: tests"
(cd "$root/build-asan" && ctest -j"$jobs" --timeout 1800 --output-on-failure)
phase_done "address,undefined: tests"

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
echo "== thread: configure and build (build-tsan)"
configure "$root/build-tsan" -DRAVIK_SANITIZE=thread -DRAVIK_BUILD_BENCHMARKS=OFF
phase_done "thread: configure"
cmake --build "$root/build-tsan" -j"$jobs" --target tsan_suite
phase_done "thread: build"
echo "== thread: tests labelled tsan"
(cd "$root/build-tsan" && ctest -j"$jobs" -L tsan --timeout 1800 --output-on-failure --no-tests=error)
phase_done "thread: tests"

echo "== all test runs passed in $(( $(date +%s) - start )) s"
