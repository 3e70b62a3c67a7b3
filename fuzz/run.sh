#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build on the seed corpora.
#
#   fuzz/run.sh BUILD_DIR smoke SECONDS      every target for SECONDS on its seeds (test command)
#   fuzz/run.sh BUILD_DIR campaign OUT_DIR [TARGET...]
#                                            the long campaign: each target until 10 million
#                                            executions or 30 minutes, two at a time; corpora,
#                                            findings and logs under OUT_DIR; FUZZ_SECONDS
#                                            shortens the 30 minutes
#
# The seeds are written from ../shared/corpus beside the project; without it the targets start
# from an empty corpus. A smoke run fails when any target reports a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?build dir}
mode=${2:?smoke or campaign}
shift 2
bin="$build/fuzz"
corpus=../shared/corpus

targets=()
for t in "$bin"/fuzz_*; do
  name=$(basename "$t")
  [ "$name" = fuzz_seeds ] && continue
  [ -x "$t" ] && targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $bin" >&2; exit 1; }

case "$mode" in
smoke) seeds=$(mktemp -d); trap 'rm -rf "$seeds"' EXIT ;;
*) seeds="${1:?output dir}/seeds"; rm -rf "$seeds"; mkdir -p "$seeds" ;;
esac
if [ -d "$corpus" ]; then
  "$bin/fuzz_seeds" "$corpus" "$seeds" >/dev/null
else
  echo "test corpus not found at $corpus: fuzzing from empty corpora"
fi

# Options common to every run. A fuzz build bounds a bitmap's pixels to 64 MiB; a single
# allocation of more than twice that is one the bound does not govern, and is reported. An
# input may take at most 10 seconds.
common=(-rss_limit_mb=2048 -malloc_limit_mb=128 -timeout=10 -print_final_stats=1)
# Leaks in libraries we do not own are suppressed as in the tests.
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"

# The inputs a target once failed on are read with its seeds, so that a smoke run under the
# fuzz build's limits (memory above all, which the replaying tests do not bound) sees them again.
regressions_of() {
  [ -d "tests/regressions/$1" ] && echo "tests/regressions/$1"
  return 0
}

dict_of() {
  local d="fuzz/dict/${1#fuzz_}.dict"
  [ -f "$d" ] && echo "-dict=$d"
  return 0
}

case "$mode" in
smoke)
  seconds=${1:?seconds}
  failed=0
  passed=0
  for t in "${targets[@]}"; do
    mkdir -p "$seeds/$t"
    work=$(mktemp -d)
    # Reads the seeds, then mutates them for the rest of the time; nothing is written back.
    if "$bin/$t" "${common[@]}" $(dict_of "$t") -max_total_time="$seconds" -artifact_prefix="$work/" \
        "$work" "$seeds/$t" $(regressions_of "$t") >"$work/log" 2>&1; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
      echo "fuzz smoke $t: ok, ${runs:-?} executions"
      passed=$((passed + 1))
    else
      echo "fuzz smoke $t: FAILED"
      tail -n 60 "$work/log"
      failed=$((failed + 1))
    fi
    rm -rf "$work"
  done
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  ;;
campaign)
  out=${1:?output dir}
  shift
  [ $# -gt 0 ] && targets=("$@")
  mkdir -p "$out/bin"
  # Private copies, so that rebuilding during the campaign leaves the running targets alone.
  for t in "${targets[@]}"; do cp "$bin/$t" "$out/bin/"; done
  cp "$bin"/*.so* "$out/bin/" 2>/dev/null || true
  cp "$build"/texbridge/*.so* "$out/bin/" 2>/dev/null || true
  run_one() {
    local t=$1
    mkdir -p "$out/$t/corpus" "$out/$t/findings"
    LD_LIBRARY_PATH="$out/bin" "$out/bin/$t" "${common[@]}" $(dict_of "$t") -runs=10000000 \
      -max_total_time="${FUZZ_SECONDS:-1800}" -artifact_prefix="$out/$t/findings/" "$out/$t/corpus" "$seeds/$t" \
      >>"$out/$t/log" 2>&1 || true
    echo "$t: $(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t/log" | tail -n 1) executions," \
      "$(ls "$out/$t/findings" | wc -l) findings"
  }
  export -f run_one dict_of
  export out seeds FUZZ_SECONDS
  export common_opts="${common[*]}"
  # Two at a time, one per core.
  printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c 'common=($common_opts); run_one {}'
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
