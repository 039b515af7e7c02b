#!/usr/bin/env bash
# The helper's image path against plain tools, each pair measured in the
# same run, alternating, median of RUNS (default 3) runs, with the load
# average printed beside every figure (the machine is shared):
#
#   memory   write + verify of 512 MiB to a file in /dev/shm through the thin
#            feeder (the digest given, nothing hashed by the feeder) against
#            openssl dgst of the image + dd bs=4M conv=fsync + openssl dgst
#            of the target
#   bmap     the write phase alone (helper start to close, no verification)
#            against bmaptool copy of the same fully mapped image
#   client   ravik-device-client write --sha256 (write + verify, end close)
#            of 512 MiB to a file in /dev/shm against the memory baseline
#   scaling  write + verify of 64 MiB, 512 MiB and 4 GiB (from the end of the
#            open to the verification's result), throughput of each, and the
#            helper's peak RSS
#
# The feeder also prints the CPU seconds of every helper thread: where the
# time goes; the memory figure adds the CPU seconds of the helper (all its
# threads) and of the baseline (all three commands), which a loaded machine
# disturbs less than wall times.
#
# Usage: bench/helper_pipeline_bench.sh [memory|bmap|client|scaling|all] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-all}
build=${2:-$root/build}
runs=${RUNS:-3}
helper=$build/bin/ravik-unix-device-helper-testing
feeder=$build/bin/helper_feeder
client=$build/bin/ravik-device-client

cmake --build "$build" -j2 --target helper_feeder ravik-unix-device-helper-testing \
  ravik-device-client >/dev/null

work=$(mktemp -d /dev/shm/ravik-pipeline-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

load() { cut -d' ' -f1 /proc/loadavg; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
seconds_of() {
  local begin end
  begin=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  awk -v ns=$((end - begin)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p"; }
# CPU seconds of all helper threads in a feeder line.
helper_cpu() { grep -o 'cpu\[[^]]*\]=[0-9.]*' | awk -F= '{ s += $2 } END { printf "%.3f\n", s }'; }

make_image() {  # name MiB; openssl rand takes at most 2 GiB at a time
  : >"$work/$1"
  for ((left = $2; left > 0; left -= 512)); do
    openssl rand $(((left < 512 ? left : 512) * 1048576)) >>"$work/$1"
  done
  truncate -s "$(($2 * 1048576))" "$work/$1.target"
  openssl dgst -sha256 -r "$work/$1" | cut -d' ' -f1 >"$work/$1.sha256"
}

feed() {  # name [feeder options]; prints the feeder's line
  local name=$1
  shift
  "$feeder" "$helper" "$work/$name.target" "$work/$name" "$(cat "$work/$name.sha256")" "$@"
}

baseline() {  # name
  openssl dgst -sha256 "$work/$1" >/dev/null
  dd if="$work/$1" of="$work/$1.target" bs=4M conv=fsync,notrunc status=none
  openssl dgst -sha256 "$work/$1.target" >/dev/null
}

# The baseline's user + system CPU seconds, all three commands.
baseline_cpu() {  # name
  /usr/bin/time -f '%U %S' bash -c '
    openssl dgst -sha256 "$1" >/dev/null
    dd if="$1" of="$1.target" bs=4M conv=fsync,notrunc status=none
    openssl dgst -sha256 "$1.target" >/dev/null' _ "$work/$1" 2>&1 >/dev/null |
    awk '{ printf "%.3f\n", $1 + $2 }'
}

memory() {
  make_image m512 512
  local helper_times=() base_times=() helper_cpus=() base_cpus=()
  for run in $(seq "$runs"); do
    local line t b
    line=$(feed m512)
    t=$(field total_s <<<"$line")
    helper_times+=("$t")
    b=$(seconds_of baseline m512)
    base_times+=("$b")
    helper_cpus+=("$(helper_cpu <<<"$line")")
    base_cpus+=("$(baseline_cpu m512)")
    echo "memory run $run (load $(load)): helper ${t} s, openssl+dd+openssl ${b} s | $line"
  done
  local h bm
  h=$(median "${helper_times[@]}")
  bm=$(median "${base_times[@]}")
  awk -v h="$h" -v b="$bm" -v l="$(load)" 'BEGIN {
    printf "memory 512 MiB write+verify: helper %.3f s, baseline %.3f s, ratio %.2f (load %s)\n",
      h, b, b / h, l }'
  awk -v h="$(median "${helper_cpus[@]}")" -v b="$(median "${base_cpus[@]}")" 'BEGIN {
    printf "memory 512 MiB CPU seconds: helper %.3f, baseline %.3f\n", h, b }'
  rm -f "$work"/m512*
}

bmap() {
  make_image b512 512
  bmaptool create -o "$work/b512.bmap" "$work/b512" 2>/dev/null
  local helper_times=() bmap_times=()
  for run in $(seq "$runs"); do
    local line t b
    line=$(feed b512 --write-only)
    t=$(field total_s <<<"$line")
    helper_times+=("$t")
    b=$(seconds_of bmaptool copy --bmap "$work/b512.bmap" "$work/b512" "$work/b512.target")
    bmap_times+=("$b")
    echo "bmap run $run (load $(load)): helper write ${t} s, bmaptool copy ${b} s | $line"
  done
  local h bm
  h=$(median "${helper_times[@]}")
  bm=$(median "${bmap_times[@]}")
  awk -v h="$h" -v b="$bm" -v l="$(load)" 'BEGIN {
    printf "write phase 512 MiB: helper %.3f s, bmaptool copy %.3f s, ratio %.2f (load %s)\n",
      h, b, b / h, l }'
  rm -f "$work"/b512*
}

client() {
  make_image c512 512
  local client_times=() base_times=()
  for run in $(seq "$runs"); do
    local c b
    local begin end
    begin=$(date +%s%N)
    if ! "$client" write "$work/c512" "$work/c512.target" --sha256 "$(cat "$work/c512.sha256")" \
      --helper "$helper" --end close >"$work/client.out" 2>&1; then
      cat "$work/client.out" >&2
      exit 1
    fi
    end=$(date +%s%N)
    c=$(awk -v ns=$((end - begin)) 'BEGIN { printf "%.3f\n", ns / 1e9 }')
    client_times+=("$c")
    b=$(seconds_of baseline c512)
    base_times+=("$b")
    echo "client run $run (load $(load)): client write --sha256 ${c} s, openssl+dd+openssl ${b} s"
  done
  local c bm
  c=$(median "${client_times[@]}")
  bm=$(median "${base_times[@]}")
  awk -v c="$c" -v b="$bm" -v l="$(load)" 'BEGIN {
    printf "client 512 MiB write --sha256 + verify: client %.3f s, baseline %.3f s, ratio %.2f (load %s)\n",
      c, b, b / c, l }'
  rm -f "$work"/c512*
}

scaling() {
  for mib in 64 512 4096; do
    make_image "s$mib" "$mib"
    local times=() writes=() verifies=() rss=()
    for run in $(seq "$runs"); do
      local line
      line=$(feed "s$mib")
      # The write and the verification, without the process start and the
      # open, which do not grow with the size.
      writes+=("$(field write_s <<<"$line")")
      verifies+=("$(field verify_s <<<"$line")")
      times+=("$(awk -v w="${writes[-1]}" -v v="${verifies[-1]}" 'BEGIN { printf "%.3f", w + v }')")
      rss+=("$(field helper_maxrss_kib <<<"$line")")
      echo "scaling ${mib} MiB run $run (load $(load)): $line"
    done
    # The phases' own medians show which of them carries a fixed cost.
    awk -v m="$mib" -v t="$(median "${times[@]}")" -v w="$(median "${writes[@]}")" \
      -v v="$(median "${verifies[@]}")" -v l="$(load)" \
      -v r="$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)" 'BEGIN {
      printf "scaling %d MiB write+verify: %.3f s, %.0f MiB/s, write %.3f s, verify %.3f s, helper peak RSS %.1f MiB (load %s)\n",
        m, t, m / t, w, v, r / 1024, l }'
    rm -f "$work/s$mib"*
  done
}

case $what in
  memory) memory ;;
  bmap) bmap ;;
  client) client ;;
  scaling) scaling ;;
  all) memory; bmap; client; scaling ;;
  *) echo "usage: $0 [memory|bmap|client|scaling|all] [BUILD_DIR]" >&2; exit 2 ;;
esac
