#!/usr/bin/env bash
# The client's decompression (image_source_drain: the reader a write streams
# from) against the reference tools on the same files in the same run:
# `xz -dc` on an .xz of one block and on a multi-block .xz, `zstd -dc` on a
# .zst (of four copies of the image), `gzip -dc` on a .gz. Rounds alternate
# tool and client; the medians of the wall times give the ratio client
# throughput / tool throughput
# (>= 0.95 is the goal). The machine's load average is printed before and
# after, since other work on the machine moves every wall figure; the medians
# of the CPU time (user + system) are printed too, as they move less.
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
# zstd decodes this mix at memory speed: four copies, so that the start of
# a process does not make the figures.
cat "$work/image" "$work/image" "$work/image" "$work/image" | zstd -q -3 -c >"$work/image.zst"
gzip -6 -c "$work/image" >"$work/image.gz"

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# Runs the command with its output discarded; prints "WALL CPU" in seconds.
timed() {
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null
  awk '{printf "%.3f %.3f\n", $1, $2 + $3}' "$work/time"
}

echo "image $(stat -c %s "$work/image") bytes; load before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
# zstd reads and writes on threads of its own (asynchronous I/O), which a
# loaded machine's scheduler favours; --no-asyncio shows it on one thread.
for pair in "one-block.xz:xz" "multi-block.xz:xz" "image.zst:zstd" \
  "image.zst:zstd --no-asyncio" "image.gz:gzip"; do
  file="$work/${pair%%:*}"
  read -ra tool <<<"${pair##*:}"
  tool_wall=() tool_cpu=() client_wall=() client_cpu=()
  for ((round = 1; round <= rounds; round++)); do
    read -r wall cpu < <(timed "${tool[@]}" -dc "$file")
    tool_wall+=("$wall") tool_cpu+=("$cpu")
    read -r wall cpu < <(timed "$drain" "$file")
    client_wall+=("$wall") client_cpu+=("$cpu")
  done
  tw=$(printf '%s\n' "${tool_wall[@]}" | median)
  cw=$(printf '%s\n' "${client_wall[@]}" | median)
  tc=$(printf '%s\n' "${tool_cpu[@]}" | median)
  cc=$(printf '%s\n' "${client_cpu[@]}" | median)
  printf '%-15s %-18s wall %6.3f s, client %6.3f s: ratio %.2f | cpu %6.3f s, client %6.3f s: ratio %.2f  [walls: tool %s | client %s]\n' \
    "${pair%%:*}" "${tool[*]}" "$tw" "$cw" "$(awk -v t="$tw" -v c="$cw" 'BEGIN {print t / c}')" \
    "$tc" "$cc" "$(awk -v t="$tc" -v c="$cc" 'BEGIN {print (c > 0 ? t / c : 0)}')" \
    "${tool_wall[*]}" "${client_wall[*]}"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
