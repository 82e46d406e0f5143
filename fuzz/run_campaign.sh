#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz, writes the seed corpus, fuzzes print mode and extract mode
# (each on disk images and mox.bin files) for MINUTES each, and reports what
# was found.
#
# Usage: fuzz/run_campaign.sh MINUTES [print|extract|all]
#   MINUTES may be a fraction (0.5 is 30 seconds). With "all" (the default)
#   the two campaigns run side by side, one core each.
# Environment: CXX (a clang++), DECOMP_FUZZ_BUILD (build directory, default
#   build-fuzz in the source tree).
# Exit status: 0 when nothing was found, 1 when a campaign left a crash, leak,
#   timeout or out-of-memory reproducer (slow units are listed only),
#   2 when the build or the set-up failed.
#
# Kept between runs in the build directory: corpus/<mode> (the growing corpus)
# and findings/<mode> (reproducers: crash-*, leak-*, timeout-*, oom-*,
# slow-unit-*). logs/<mode>.log holds the fuzzer's own output.
set -euo pipefail

usage() {
  echo "usage: $0 MINUTES [print|extract|all]" >&2
  exit 2
}
[[ $# -ge 1 && $# -le 2 ]] || usage
minutes=$1
modes=${2:-all}
[[ $minutes =~ ^[0-9]+([.][0-9]+)?$ ]] || usage
case $modes in
print | extract) ;;
all) modes="print extract" ;;
*) usage ;;
esac
seconds=$(awk -v m="$minutes" 'BEGIN { s = int(m * 60 + 0.5); print (s < 1 ? 1 : s) }')

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${DECOMP_FUZZ_BUILD:-$root/build-fuzz}

# libFuzzer ships with clang; any clang++ on the path will do.
cxx=${CXX:-}
if [[ -z $cxx ]]; then
  for candidate in clang++ clang++-14 clang++-15 clang++-16 clang++-17 clang++-18; do
    if command -v "$candidate" >/dev/null; then
      cxx=$candidate
      break
    fi
  done
fi
if [[ -z $cxx ]]; then
  echo "$0: no clang++ found; set CXX to one" >&2
  exit 2
fi

echo "== building the fuzz targets in $build"
mkdir -p "$build/logs"
if ! cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >"$build/logs/configure.log" 2>&1; then
  cat "$build/logs/configure.log" >&2
  exit 2
fi
cmake --build "$build" -j2 >/dev/null || {
  cmake --build "$build" -j1 >&2 || true
  exit 2
}

rm -rf "$build/seeds"
"$build/gen_seeds" "$build/seeds"

# Every finding is kept; each mode's campaign continues after one (fork mode
# with the ignore flags), so a long campaign is not cut short by its first.
common_flags=(
  -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1
  -max_total_time="$seconds" -timeout=25
  -rss_limit_mb=2048 -malloc_limit_mb=16
  -max_len=16384 -use_value_profile=1
  -close_fd_mask=2
  -dict="$root/fuzz/decomp.dict"
)

if [[ -d /dev/shm && -w /dev/shm ]]; then
  tmp_root=$(mktemp -d /dev/shm/decomp_fuzz.XXXXXX)
else
  tmp_root=$(mktemp -d "$build/tmp.XXXXXX")
fi
trap 'rm -rf "$tmp_root"' EXIT

pids=()
for mode in $modes; do
  mkdir -p "$build/corpus/$mode" "$build/findings/$mode" "$build/logs"
  # The harness's work directories (and fork mode's own) go to a directory of
  # this run, on a memory file system when there is one (extraction creates
  # and removes files on every execution), removed at the end.
  mkdir -p "$tmp_root/$mode"
  echo "== fuzzing $mode mode for $seconds s (log: $build/logs/$mode.log)"
  # The log is written through a pipe: the harness lowers RLIMIT_FSIZE while
  # the tool runs, which must not cut the fuzzer's own reports short.
  (
    cd "$tmp_root/$mode"
    TMPDIR="$tmp_root/$mode" "$build/fuzz_decomp_$mode" "${common_flags[@]}" \
      -artifact_prefix="$build/findings/$mode/" \
      "$build/corpus/$mode" "$build/seeds" 2>&1 | cat >"$build/logs/$mode.log"
  ) &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || true
done

# Executions, time and counts from the last status line of fork mode:
# "#RUNS: cov: C ft: F corp: N exec/s E oom/timeout/crash: O/T/C time: Ss ..."
# Coverage from one pass over the final corpus, which reports the edges
# (instrumented points reached) and features as a single process counts them.
found=0
for mode in $modes; do
  log=$build/logs/$mode.log
  status=$(grep -E '^#[0-9]+: cov: ' "$log" | tail -n 1 || true)
  echo
  echo "== $mode mode"
  if [[ -z $status ]]; then
    echo "no status line in $log; its end:"
    tail -n 20 "$log"
    found=1
    continue
  fi
  awk '{
    for (i = 1; i <= NF; i++) { k = $i; sub(/:$/, "", k); v[k] = $(i + 1) }
    sub(/^#/, "", $1); sub(/:$/, "", $1)
    split(v["oom/timeout/crash"], otc, "/")
    printf "executions: %s in %s\ncrashes: %s, timeouts: %s, ooms: %s\n", $1, v["time"], otc[3], otc[2], otc[1]
  }' <<<"$status"
  replay=$(TMPDIR="$tmp_root/$mode" "$build/fuzz_decomp_$mode" -runs=0 -close_fd_mask=2 \
    -rss_limit_mb=2048 -malloc_limit_mb=16 "$build/corpus/$mode" 2>&1 || true)
  awk '/inline 8-bit counters/ { for (i = 1; i < NF; i++) if ($i == "counters):") total = $(i + 1) }
    /INITED/ { for (i = 1; i <= NF; i++) { if ($i == "cov:") c = $(i + 1); if ($i == "ft:") f = $(i + 1) } }
    END { printf "coverage: %s of %s edges, %s features\n", c, total, f }' <<<"$replay"
  echo "corpus: $(find "$build/corpus/$mode" -type f | wc -l) inputs in $build/corpus/$mode"

  mapfile -t artifacts < <(find "$build/findings/$mode" -maxdepth 1 -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
  echo "reproducers: ${#artifacts[@]}"
  for artifact in "${artifacts[@]}"; do
    # A slow unit is worth a look but is no fault: on a loaded machine any
    # input can be slow, so it does not fail the run.
    [[ $(basename "$artifact") == slow-unit-* ]] || found=1
    echo "-- $artifact"
    # Run it once more, alone, to show the report and the top of the stack.
    TMPDIR="$tmp_root/$mode" timeout 120 "$build/fuzz_decomp_$mode" -close_fd_mask=2 \
      -rss_limit_mb=2048 -malloc_limit_mb=16 -timeout=25 "$artifact" 2>&1 |
      grep -E 'ERROR: |SUMMARY: |runtime error:|^ *#[0-9] ' | head -n 16 || true
  done
done
exit "$found"
