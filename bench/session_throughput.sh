#!/usr/bin/env bash
# Session throughput: ravik-device-client and the testing helper writing and
# verifying a 1 GiB image to a regular file in /dev/shm, against the plain
# route a person would take for the same assurance: dd bs=4M conv=fsync,
# then openssl dgst -sha256 of the image and of the target (OpenSSL uses the
# CPU's SHA instructions, as the helper does). Three runs of each,
# interleaved, in the same run of this script; prints every time, the
# medians and the ratio baseline / client.
#
# Usage: bench/session_throughput.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=3
size_mib=1024

cmake -S "$root" -B "$build" -DRAVIK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target ravik-device-client \
  ravik-unix-device-helper-testing >/dev/null

work=$(mktemp -d /dev/shm/ravik-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
image=$work/image.img
target=$work/target.img
openssl rand -out "$image" $((size_mib * 1024 * 1024)) 2>/dev/null
truncate -s "${size_mib}M" "$target"

# Wall time of a command in seconds, with millisecond resolution.
seconds_of() {
  local begin end
  begin=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  awk -v ns=$((end - begin)) 'BEGIN { printf "%.3f\n", ns / 1e9 }' 
}

client_run() {
  "$build/bin/ravik-device-client" write "$image" "$target" --end close --yes
}

baseline_run() {
  dd if="$image" of="$target" bs=4M conv=fsync,notrunc status=none
  openssl dgst -sha256 "$image" >/dev/null
  openssl dgst -sha256 "$target" >/dev/null
}

median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }

client_times=()
baseline_times=()
for run in $(seq "$runs"); do
  t=$(seconds_of client_run)
  client_times+=("$t")
  b=$(seconds_of baseline_run)
  baseline_times+=("$b")
  echo "run $run: client+helper ${t} s, dd+openssl ${b} s"
done
client_median=$(median "${client_times[@]}")
baseline_median=$(median "${baseline_times[@]}")
echo "image: ${size_mib} MiB in /dev/shm"
echo "median client+helper (hash image, write, verify): ${client_median} s"
echo "median dd bs=4M conv=fsync + openssl dgst image + target: ${baseline_median} s"
awk -v b="$baseline_median" -v c="$client_median" \
  'BEGIN { printf "ratio (baseline / client): %.2f\n", b / c }' 
