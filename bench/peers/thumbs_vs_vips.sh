#!/usr/bin/env bash
# The browser's thumbnails of a folder against vipsthumbnail on the same files: 200 photo-like
# 2048 x 2048 pictures (JPEG at quality 90, PNG, Windows bitmap, Targa) written by peers_bench,
# thumbnailed by `pictolan-probe thumbs` (every thumbnail in one process, one worker per core)
# and by `vipsthumbnail -s 100`. Both read from the page cache; each side's median of RUNS runs
# is printed with its processor time, which shows how many cores it kept busy.
#
# usage: bench/peers/thumbs_vs_vips.sh BUILD_DIR SCRATCH_DIR [RUNS]
set -euo pipefail
build=$(realpath "$1")
scratch=$(realpath -m "$2")
runs=${3:-5}
photos=$scratch/photos

if [ ! -d "$photos" ]; then
  "$build/bench/peers_bench" --photos "$photos" 200
fi
cat "$photos"/* > /dev/null  # into the page cache

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run_side() {  # name, then the command
  local name=$1 wall=() cpu=()
  shift
  for _ in $(seq "$runs"); do
    rm -rf "$scratch/out" && mkdir -p "$scratch/out"
    local t0 t1 c0 c1
    c0=$(awk '{ print $14 + $15 + $16 + $17 }' /proc/$$/stat)
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    c1=$(awk '{ print $14 + $15 + $16 + $17 }' /proc/$$/stat)
    wall+=("$(echo "$t1 - $t0" | bc -l)")
    cpu+=("$(echo "($c1 - $c0) / $(getconf CLK_TCK)" | bc -l)")
  done
  printf '%-14s wall %6.2f s   cpu %6.2f s\n' "$name" \
    "$(printf '%s\n' "${wall[@]}" | median)" "$(printf '%s\n' "${cpu[@]}" | median)"
}

echo "$(ls "$photos" | wc -l) files in $photos; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
run_side "pictolan" "$build/tools/pictolan-probe" thumbs "$photos" "$scratch/out"
run_side "vipsthumbnail" vipsthumbnail -s 100 -o "$scratch/out/%s.jpg" "$photos"/*
