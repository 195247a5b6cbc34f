#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/asan, runs every test under them (leak checks on, tests/lsan.supp for
# third-party frames only), then runs the program itself on simulated
# controllers: the window render and the render under each fault scenario;
# then a minute of the polling loop on 17 flickering controllers (bench/soak),
# a longer hostile-device campaign, and short libFuzzer runs of every fuzz
# target (clang, build/fuzz; FUZZ_SECONDS each, default 30).
# The USB tests run with umockdev's preload ahead of the ASan runtime, which
# ASan accepts only with verify_asan_link_order=0.
# Any sanitizer report, or a status other than the expected one, fails the
# script. Not part of CI: a first build takes about 5 minutes on 2 cores, the
# runs about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh --test clang

build=build/asan
# float-cast-overflow is not part of GCC's "undefined"; the console turns
# doubles (microns, slider speeds) into counts, so it is asked for by name.
sanitizers="address,undefined,float-cast-overflow"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=$sanitizers -fno-omit-frame-pointer -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$sanitizers" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=$sanitizers" >/dev/null
cmake --build "$build" --parallel "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== tests under ASan/UBSan"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 600

# The program: runs it, fails on a sanitizer report or on a status other than
# the expected one.
program="$build/app/stage-console"
pictures=$(mktemp -d)
trap 'rm -rf "$pictures"' EXIT
failures=0
run() {
  local expected=$1
  shift
  local log="$pictures/stderr.txt" status=0
  "$@" 2>"$log" || status=$?
  if grep -qE "ERROR: (Address|Leak)Sanitizer|runtime error:" "$log"; then
    cat "$log" >&2
    echo "FAILED (sanitizer report): $*" >&2
    failures=$((failures + 1))
  elif [ "$status" -ne "$expected" ]; then
    cat "$log" >&2
    echo "FAILED (status $status, expected $expected): $*" >&2
    failures=$((failures + 1))
  else
    echo "ok (status $status): $*"
  fi
}

echo "== the program under ASan/UBSan"
run 0 "$program" --render-windows "$pictures/plain"
run 0 "$program" --simulate 32 --render-windows "$pictures/many"
# The trace's writer thread and the Scope along the render.
run 0 "$program" --simulate 17 --trace "$pictures/trace.csv" --render-windows "$pictures/traced"
# Scenarios that leave the controllers working, or fail only after the render.
for scenario in polarity:axis=2 limits polarity:axis=2,limits:axis=2 write-fail:after=5; do
  run 0 "$program" --simulate 3 --scenario "$scenario" --render-windows "$pictures/$scenario"
done
# Fatal from the start: the render reports the message and ends with status 1.
# silent waits out the whole 10 s read time-out.
for scenario in count-fail open-fail open-fail:axis=2 write-fail read-fail short-write \
                short-read:bytes=0 short-read:bytes=11 bad-reply:axis=1 silent:axis=1; do
  run 1 "$program" --simulate 3 --scenario "$scenario" --render-windows "$pictures/$scenario"
done

echo "== one minute of 17 controllers whose every flag flickers, tuning panel shown"
# The polling loop at its own pace: the resident size must stay flat after the
# first samples (the figures are printed), and nothing may leak.
run 0 "$build/bench/soak" --replies flicker --axes 17 --seconds 60 --sample-seconds 10 --panel shown

echo "== a longer hostile campaign under ASan/UBSan (3000 seeds)"
if ! STAGE_CAMPAIGN_FIRST_SEED=1000 STAGE_CAMPAIGN_SEEDS=3000 "$build/tests/ui/hostile_campaign_test" >"$pictures/campaign.txt" 2>&1; then
  cat "$pictures/campaign.txt" >&2
  echo "FAILED: hostile campaign" >&2
  failures=$((failures + 1))
else
  grep -E "seeds:|Totals" "$pictures/campaign.txt"
fi

echo "== short fuzz runs (libFuzzer, clang, ${FUZZ_SECONDS:=30} s each)"
fuzz_build=build/fuzz
cmake -S . -B "$fuzz_build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DSTAGE_BUILD_FUZZ=ON \
  -DSTAGE_BUILD_UI=OFF -DSTAGE_BUILD_TESTS=OFF -DSTAGE_BUILD_BENCH=OFF >/dev/null
cmake --build "$fuzz_build" --parallel "$(nproc)"
for target in number_text_fuzz command_line_fuzz profile_reader_fuzz control_request_fuzz; do
  corpus="$pictures/corpus-$target"
  mkdir -p "$corpus"
  # A target's dictionary, when it has one (fuzz/NAME.dict for NAME_fuzz).
  dict=()
  [ -f "fuzz/${target%_fuzz}.dict" ] && dict=("-dict=fuzz/${target%_fuzz}.dict")
  if "$fuzz_build/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 "${dict[@]}" "$corpus" \
       >"$pictures/$target.txt" 2>&1; then
    echo "ok: $target, $(grep -Eo 'Done [0-9]+ runs' "$pictures/$target.txt")"
  else
    tail -40 "$pictures/$target.txt" >&2
    echo "FAILED: $target" >&2
    failures=$((failures + 1))
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures program run(s) failed" >&2
  exit 1
fi
echo "sanitize: every test, program run, campaign and fuzz run is clean"
