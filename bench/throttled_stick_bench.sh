#!/usr/bin/env bash
# A simulated USB stick: a loop device over a file in /dev/shm whose writes
# and reads the blkio cgroup (v1 blkio.throttle) limits to WRITE_BPS and
# READ_BPS (default 200 MB/s and 400 MB/s). The helper, driven by the thin
# feeder and placed in that cgroup, writes and verifies a 512 MiB image, with
# no protected prefix and with a 1 MiB one; each run is compared with the
# medium's own limit (bytes / write rate + bytes / read rate, plus one more
# read of the body when a prefix is protected) and with dd writing and
# reading the same bytes with direct I/O in the same cgroup, alternating,
# median of RUNS (default 3). Needs root; detaches its loop device and
# removes its cgroup on exit.
#
# Usage: bench/throttled_stick_bench.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${RUNS:-3}
write_bps=${WRITE_BPS:-200000000}
read_bps=${READ_BPS:-400000000}
size=$((512 * 1048576))
helper=$build/bin/ravik-unix-device-helper-testing
feeder=$build/bin/helper_feeder

cmake --build "$build" -j2 --target helper_feeder ravik-unix-device-helper-testing >/dev/null

work=$(mktemp -d /dev/shm/ravik-stick-bench.XXXXXX)
group=/sys/fs/cgroup/blkio/ravik-stick-bench.$$
loop=
cleanup() {
  [[ -n $loop ]] && losetup -d "$loop"
  [[ -d $group ]] && rmdir "$group"
  rm -rf "$work"
}
trap cleanup EXIT

truncate -s $((size + 64 * 1048576)) "$work/medium"
loop=$(losetup --find --show "$work/medium")
majmin=$(lsblk -dno MAJ:MIN "$loop" | tr -d ' ')
mkdir "$group"
echo "$majmin $write_bps" >"$group/blkio.throttle.write_bps_device"
echo "$majmin $read_bps" >"$group/blkio.throttle.read_bps_device"
openssl rand -out "$work/image" "$size" 2>/dev/null
digest=$(openssl dgst -sha256 -r "$work/image" | cut -d' ' -f1)

load() { cut -d' ' -f1 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }

# dd in the same cgroup: the image written and read back with direct I/O.
dd_run() {
  bash -c 'echo $$ >"$1/cgroup.procs"
    begin=$(date +%s%N)
    dd if="$2" of="$3" bs=4M oflag=direct conv=fsync,notrunc status=none
    dd if="$3" of=/dev/null bs=4M count=$(($4 / 4194304)) iflag=direct status=none
    end=$(date +%s%N)
    awk -v ns=$((end - begin)) "BEGIN { printf \"%.3f\n\", ns / 1e9 }"' \
    _ "$group" "$work/image" "$loop" "$size"
}

for prefix in 0 1048576; do
  limit=$(awk -v b="$size" -v w="$write_bps" -v r="$read_bps" -v p="$prefix" \
    'BEGIN { t = b / w + b / r; if (p > 0) t += (b - p) / r; printf "%.3f", t }')
  helper_times=()
  dd_times=()
  for run in $(seq "$runs"); do
    line=$("$feeder" "$helper" "$loop" "$work/image" "$digest" --prefix "$prefix" \
      --cgroup "$group")
    t=$(awk -v w="$(field write_s <<<"$line")" -v v="$(field verify_s <<<"$line")" \
      'BEGIN { printf "%.3f", w + v }')
    helper_times+=("$t")
    d=$(dd_run)
    dd_times+=("$d")
    echo "prefix $prefix run $run (load $(load)): helper write+verify ${t} s, dd ${d} s | $line"
  done
  h=$(median "${helper_times[@]}")
  d=$(median "${dd_times[@]}")
  awk -v h="$h" -v d="$d" -v l="$limit" -v p="$prefix" -v load="$(load)" 'BEGIN {
    printf "stick 512 MiB, prefix %d: helper %.3f s, medium limit %.3f s (%+.1f%%), dd %.3f s (load %s)\n",
      p, h, l, (h / l - 1) * 100, d, load }'
done
