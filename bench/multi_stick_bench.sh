#!/usr/bin/env bash
# Four simulated USB sticks written at once against one alone. Each stick is
# a loop device over a file in /dev/shm whose writes and reads the blkio
# cgroup (v1 blkio.throttle, per device) limits to WRITE_BPS and READ_BPS
# (default 30 MB/s and 80 MB/s, a common stick). ravik-device-client, placed
# in that cgroup with its helpers, writes and verifies one image of SIZE_MIB
# (default 256) with its published digest: to stick 1 alone, then to sticks
# 1-4 at once, alternating, RUNS times (default 3). The figure is the median
# wall-clock time of each; four at once should take at most 1.15 times one
# alone, since the sticks, not the client, set the pace. Prints the machine
# load with every run. Needs root; detaches its loop devices (by name) and
# removes its cgroup on exit.
#
# Usage: bench/multi_stick_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
write_bps=${WRITE_BPS:-30000000}
read_bps=${READ_BPS:-80000000}
size=$((${SIZE_MIB:-256} * 1048576))
client=$build/bin/ravik-device-client
helper=$build/bin/ravik-unix-device-helper-testing

cmake --build "$build" -j2 --target ravik-device-client ravik-unix-device-helper-testing \
  >/dev/null

work=$(mktemp -d /dev/shm/ravik-multi-stick-bench.XXXXXX)
group=/sys/fs/cgroup/blkio/ravik-multi-stick-bench.$$
loops=()
cleanup() {
  for loop in "${loops[@]}"; do losetup -d "$loop" || true; done
  [[ -d $group ]] && rmdir "$group"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$group"
for stick in 1 2 3 4; do
  truncate -s $((size + 64 * 1048576)) "$work/stick$stick"
  loop=$(losetup --find --show "$work/stick$stick")
  loops+=("$loop")
  majmin=$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ')
  echo "$majmin $write_bps" >"$group/blkio.throttle.write_bps_device"
  echo "$majmin $read_bps" >"$group/blkio.throttle.read_bps_device"
done
openssl rand -out "$work/image" "$size" 2>/dev/null
digest=$(openssl dgst -sha256 -r "$work/image" | cut -d' ' -f1)

load() { cut -d' ' -f1 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# The client in the cgroup writing the image to the given sticks; the
# session ends with close, which leaves the loop devices attached for the
# next run. Prints the wall-clock seconds.
client_run() {
  bash -c 'echo $$ >"$1/cgroup.procs"; shift
    begin=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "client failed: $*" >&2; exit 1; }
    end=$(date +%s%N)
    awk -v ns=$((end - begin)) "BEGIN { printf \"%.3f\n\", ns / 1e9 }"' \
    _ "$group" "$client" write "$work/image" "$@" --sha256 "$digest" \
    --helper "$helper" --end close --yes
}

one_times=()
four_times=()
for run in $(seq "$runs"); do
  one=$(client_run "${loops[0]}")
  one_times+=("$one")
  four=$(client_run "${loops[@]}")
  four_times+=("$four")
  echo "run $run (load $(load)): one stick ${one} s, four sticks ${four} s"
done
o=$(median "${one_times[@]}")
f=$(median "${four_times[@]}")
awk -v o="$o" -v f="$f" -v s="$size" -v w="$write_bps" -v r="$read_bps" -v load="$(load)" \
  'BEGIN {
    printf "%d MiB, write %d B/s, read %d B/s per stick: one %.3f s, four at once %.3f s, ratio %.3f (goal <= 1.15; medium limit %.3f s; load %s)\n",
      s / 1048576, w, r, o, f, f / o, s / w + s / r, load }'
