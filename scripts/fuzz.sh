#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each in turn, in one process, for a chosen time.
#
#   scripts/fuzz.sh [--quick | --time SECONDS] [TARGET...]
#
#   TARGET     patch_list, settings, list_signature (default: all, one after the other)
#   --time S   S seconds per target (default 600). New inputs go to the working corpus
#              build/fuzz/corpus/TARGET, which later runs start from; the committed seeds
#              in fuzz/corpus/TARGET are read, never written.
#   --quick    30 seconds per target on the seeds alone, in a corpus thrown away after
#              (the form scripts/test.sh runs).
#
# An input that breaks an invariant, crashes, leaks or trips a sanitizer ends the run
# with a failure; it is kept as build/fuzz/artifacts/TARGET-crash-... (replay it with
# build/fuzz/fuzz/fuzz_TARGET FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=600
quick=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; seconds=30 ;;
    --time) seconds="$2"; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
[ ${#targets[@]} -gt 0 ] || targets=(patch_list settings list_signature)

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZD_FUZZ=ON -DZD_TESTS=OFF -DZD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# The longest input each target is given: a list needs room for lines longer than the
# 4096-byte line buffer and for more than one of the parser's 16 KiB reads; a settings
# file does not.
max_len() { case "$1" in patch_list) echo 40000 ;; list_signature) echo 16384 ;; *) echo 4096 ;; esac; }

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/$target
  [ -d "$seeds" ] || { echo "no seed corpus $seeds" >&2; exit 2; }
  if [ "$quick" -eq 1 ]; then
    corpus=$build/quick/$target
    rm -rf "$corpus"
  else
    corpus=$build/corpus/$target
  fi
  mkdir -p "$corpus" "$build/run/$target"
  echo "== fuzz_$target for ${seconds}s (seeds: $(ls "$seeds" | wc -l), working corpus: $(ls "$corpus" | wc -l))"
  # One worker, one job: libFuzzer runs the target in a child process that logs to
  # fuzz-0.log in the current directory, and fails when the child does.
  start=$(date +%s)
  if (cd "$build/run/$target" &&
      ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "../../fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$target")" -print_final_stats=1 -workers=1 -jobs=1 \
        -artifact_prefix="$root/$build/artifacts/$target-" "$root/$corpus" "$root/$seeds" >/dev/null 2>&1); then
    grep -E '^#[0-9]+.*DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
      "$build/run/$target/fuzz-0.log" || true
    echo "   $(( $(date +%s) - start ))s, working corpus now $(ls "$corpus" | wc -l) inputs"
  else
    status=1
    echo "!! fuzz_$target failed; its log ($build/run/$target/fuzz-0.log) ends:"
    grep -v '^"' "$build/run/$target/fuzz-0.log" | tail -40
  fi
done
exit $status
