#!/usr/bin/env bash
# Builds every fuzz target with clang-16 and libFuzzer and runs each for
# SECONDS seconds (default 60), growing its corpus in a scratch directory and
# saving any crasher under fuzz/corpus/NAME/ for the replay tests.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build-fuzz"
# clang-16 sees libstdc++ 12's std::expected only with this feature macro.
flags="-D__cpp_concepts=202002L -Wno-macro-redefined -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -g"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DRAVIK_FUZZ=ON -DRAVIK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(cd "$root/fuzz" && ls *_fuzzer.cc | sed 's/\.cc$//')
status=0
for source in "$root"/fuzz/*_fuzzer.cc; do
  name=$(basename "$source" _fuzzer.cc)
  work="$build/work/$name"
  mkdir -p "$work" "$root/fuzz/corpus/$name"
  echo "fuzzing $name for ${seconds}s"
  if ! "$build/bin/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$root/fuzz/corpus/$name/crash-" \
      "$work" "$root/fuzz/corpus/$name" 2>"$build/work/$name.log"; then
    echo "fuzz target $name failed; see $build/work/$name.log" >&2
    status=1
  fi
  tail -n 12 "$build/work/$name.log" | grep -E 'stat::|cov:' | tail -n 3 || true
done
exit $status
