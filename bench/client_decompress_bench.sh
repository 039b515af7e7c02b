#!/usr/bin/env bash
# The client's decompression (image_source_drain: the reader a write streams
# from) against the reference tools on the same files in the same run:
# `xz -dc` on an .xz of one block and on a multi-block .xz, `zstd -dc` on a
# .zst, `gzip -dc` on a .gz. Rounds alternate tool and client; the medians
# of the wall times give the ratio client throughput / tool throughput
# (>= 0.95 is the goal). The machine's load average is printed before and
# after, since other work on the machine moves every figure.
#
#   bench/client_decompress_bench.sh [BUILD_DIR] [ROUNDS] [MIB]
set -euo pipefail

build=${1:-build}
rounds=${2:-3}
mib=${3:-128}
drain="$build/bin/image_source_drain"
[[ -x $drain ]] || { echo "build the image_source_drain target first" >&2; exit 1; }

work=$(mktemp -d /dev/shm/ravik-decompress-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# A disk-like mix: incompressible data, text-like data, and zeros.
quarter=$((mib * 1024 * 1024 / 4))
{
  head -c "$quarter" /dev/urandom
  head -c $((quarter * 3 / 4)) /dev/urandom | base64 -w 76
  head -c "$quarter" /dev/zero
} >"$work/image"
xz -3 -T1 -c "$work/image" >"$work/one-block.xz"
xz -3 -T2 --block-size=8MiB -c "$work/image" >"$work/multi-block.xz"
zstd -q -3 -c "$work/image" >"$work/image.zst"
gzip -6 -c "$work/image" >"$work/image.gz"

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", b - a}'; }

echo "image $(stat -c %s "$work/image") bytes; load before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
for pair in "one-block.xz:xz" "multi-block.xz:xz" "image.zst:zstd" "image.gz:gzip"; do
  file="$work/${pair%%:*}"
  tool=${pair##*:}
  tool_times=()
  client_times=()
  for ((round = 1; round <= rounds; round++)); do
    start=$(now)
    "$tool" -dc "$file" >/dev/null
    tool_times+=("$(elapsed "$start" "$(now)")")
    start=$(now)
    "$drain" "$file" >/dev/null
    client_times+=("$(elapsed "$start" "$(now)")")
  done
  tool_median=$(printf '%s\n' "${tool_times[@]}" | median)
  client_median=$(printf '%s\n' "${client_times[@]}" | median)
  printf '%-16s %s -dc %6.3f s   client %6.3f s   ratio (client/tool throughput) %.2f   [tool %s | client %s]\n' \
    "${pair%%:*}" "$tool" "$tool_median" "$client_median" \
    "$(awk -v t="$tool_median" -v c="$client_median" 'BEGIN {print t / c}')" \
    "${tool_times[*]}" "${client_times[*]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
