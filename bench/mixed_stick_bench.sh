#!/usr/bin/env bash
# Two simulated USB sticks of different speeds written at once, against the
# fast one alone. Each stick is a loop device over a file in /dev/shm whose
# writes the blkio cgroup (v1 blkio.throttle, per device) limits: the slow one
# to SLOW_BPS (default 10 MB/s), the fast one to FAST_BPS (default 100 MB/s).
# ravik-device-client, placed in that cgroup with its helpers, writes one raw
# image of SIZE_MIB (default 64) with its published digest: to the fast stick
# alone (the baseline), then to both at once, alternating, RUNS times
# (default 3). The figure is the median time until the fast stick's result
# line, alone and beside the slow one: each stick should go at its own pace,
# so the ratio should stay within 1.10. XZ=1 writes the image's xz file
# instead (decoded once for both sticks, again for the one that falls behind). Prints the machine load with every
# run. Needs root; detaches its loop devices (by name) and removes its cgroup
# on exit.
#
# Usage: bench/mixed_stick_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
slow_bps=${SLOW_BPS:-10000000}
fast_bps=${FAST_BPS:-100000000}
size=$((${SIZE_MIB:-64} * 1048576))
client=$build/bin/ravik-device-client
helper=$build/bin/ravik-unix-device-helper-testing

cmake --build "$build" -j2 --target ravik-device-client ravik-unix-device-helper-testing \
  >/dev/null

work=$(mktemp -d /dev/shm/ravik-mixed-stick-bench.XXXXXX)
group=/sys/fs/cgroup/blkio/ravik-mixed-stick-bench.$$
loops=()
cleanup() {
  for loop in "${loops[@]}"; do losetup -d "$loop" || true; done
  [[ -d $group ]] && rmdir "$group"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$group"
for stick in fast slow; do
  truncate -s $((size + 64 * 1048576)) "$work/$stick"
  loop=$(losetup --find --show "$work/$stick")
  loops+=("$loop")
  majmin=$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ')
  bps=$fast_bps
  [[ $stick == slow ]] && bps=$slow_bps
  echo "$majmin $bps" >"$group/blkio.throttle.write_bps_device"
done
openssl rand -out "$work/image" "$size" 2>/dev/null
digest=$(openssl dgst -sha256 -r "$work/image" | cut -d' ' -f1)
image=$work/image
if [[ ${XZ:-0} == 1 ]]; then
  xz -1 -T2 -k "$work/image"
  image=$work/image.xz
fi

load() { cut -d' ' -f1 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# The client in the cgroup writing the image to the given sticks; prints the
# seconds until the fast stick's result ("Finished:" line with several
# sticks, the client's end alone).
client_run() {
  bash -c 'echo $$ >"$1/cgroup.procs"; fast=$2; shift 2
    begin=$(date +%s%N)
    "$@" 2>/dev/null | while IFS= read -r line; do
      if [[ $line == "Finished: $fast "* || $line == Closed:* ]]; then
        awk -v ns=$(($(date +%s%N) - begin)) "BEGIN { printf \"%.3f\n\", ns / 1e9 }"
      fi
    done' \
    _ "$group" "${loops[0]}" "$client" write "$image" "$@" --sha256 "$digest" \
    --helper "$helper" --end close --yes | head -1
}

alone_times=()
beside_times=()
for run in $(seq "$runs"); do
  alone=$(client_run "${loops[0]}")
  alone_times+=("$alone")
  beside=$(client_run "${loops[@]}")
  beside_times+=("$beside")
  echo "run $run (load $(load)): fast stick alone ${alone} s, beside the slow one ${beside} s"
done
a=$(median "${alone_times[@]}")
b=$(median "${beside_times[@]}")
kind=raw
[[ ${XZ:-0} == 1 ]] && kind=xz
awk -v a="$a" -v b="$b" -v kind="$kind" -v s="$size" -v f="$fast_bps" -v w="$slow_bps" -v load="$(load)" \
  'BEGIN {
    printf "%d MiB %s, fast stick %d B/s, slow stick %d B/s: fast alone %.3f s, beside the slow one %.3f s, ratio %.3f (goal <= 1.10; load %s)\n",
      s / 1048576, kind, f, w, a, b, b / a, load }'
