#!/usr/bin/env bash
# The six figures of the image write path, each beside its baseline measured
# in the same run (alternating, median of RUNS runs, default 3), with the
# machine's load (uptime) printed before every group and beside every figure:
#
#   1. memory media: helper write + verify of 512 MiB on /dev/shm through the
#      thin feeder against openssl dgst + dd bs=4M conv=fsync + openssl dgst
#      (target: ratio >= 1.3), with the CPU seconds of both
#   2. the write phase alone against bmaptool copy (target: faster)
#   3. ravik-device-client write --sha256 end to end against the baseline of
#      1 (target: ratio >= 1.2)
#   4. a throttled loop device (200 MB/s write, 400 MB/s read) against the
#      medium's own limit, without and with a protected prefix (target: 5%)
#   5. the helper's peak RSS during a 4 GiB write + verify (target: < 64 MiB)
#   6. 64 MiB, 512 MiB and 4 GiB write + verify throughput (target: within
#      10% of each other)
#
# Then the figures alone, as a summary. About 4 minutes on an idle machine
# and under 12 on a loaded one; needs root, bmap-tools, 9 GiB free in
# /dev/shm and the v1 blkio cgroup. Runs sequentially, so that no two
# measurements share the CPU.
#
# Usage: bench/image_write_figures.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
log=$(mktemp /tmp/ravik-image-write-figures.XXXXXX)
trap 'rm -f "$log"' EXIT

section() {
  echo "== $1 ($(uptime))"
}

section "memory, bmap, client"
"$root/bench/helper_pipeline_bench.sh" memory "$build" | tee -a "$log"
"$root/bench/helper_pipeline_bench.sh" bmap "$build" | tee -a "$log"
"$root/bench/helper_pipeline_bench.sh" client "$build" | tee -a "$log"
section "throttled stick"
"$root/bench/throttled_stick_bench.sh" "$build" | tee -a "$log"
section "scaling and peak RSS"
"$root/bench/helper_pipeline_bench.sh" scaling "$build" | tee -a "$log"

echo
echo "== figures ($(uptime))"
grep -E '^(memory 512|write phase|client 512|stick 512|scaling [0-9]+ MiB write)' "$log"
awk '/^scaling [0-9]+ MiB write/ {
    for (i = 1; i <= NF; ++i) if ($i == "MiB/s,") rate[++n] = $(i - 1)
  }
  END {
    if (n < 2) exit
    low = high = rate[1]
    for (i = 2; i <= n; ++i) { if (rate[i] < low) low = rate[i]; if (rate[i] > high) high = rate[i] }
    printf "scaling spread: slowest %.0f MiB/s is %.1f%% below the fastest %.0f MiB/s\n",
      low, (1 - low / high) * 100, high
  }' "$log"
