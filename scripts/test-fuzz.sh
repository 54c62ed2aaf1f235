#!/usr/bin/env bash
# Builds the archive reader's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) and runs it from the seed corpus in tests/fuzz/corpus for a
# bounded time: 60 s in CI (CI=true), 10 s otherwise, or ZEM_FUZZ_SECONDS. Any crash, leak or
# sanitizer report fails the run. Installs clang and its fuzzer runtime first when root; without
# them it exits 77 (skipped), except in CI (CI=true), where that is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${CI:-}" = true ]; then default_seconds=60; else default_seconds=10; fi
seconds=${ZEM_FUZZ_SECONDS:-$default_seconds}
jobs=$(nproc 2>/dev/null || echo 2)

can_fuzz() {
  command -v clang++ >/dev/null &&
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
      clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null
}

if ! can_fuzz && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  scripts/install-deps.sh clang libclang-rt-dev
fi
if ! can_fuzz; then
  if [ "${CI:-}" = true ]; then
    echo "test-fuzz: clang++ with libFuzzer is missing (packages clang, libclang-rt-dev)" >&2
    exit 1
  fi
  echo "test-fuzz: SKIPPED: clang++ with libFuzzer is missing; install clang and libclang-rt-dev" >&2
  exit 77
fi

dir=build/fuzz
echo "== $dir (${seconds} s)"
CXX=clang++ cmake -S . -B "$dir" -DZEM_FUZZ=ON -DZEM_WERROR=ON -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$jobs" --target zem-reader-fuzz

# New inputs go to a scratch folder; the seeds in the repository stay as they are.
work=$dir/corpus
rm -rf "$work" "$dir/artifacts"
mkdir -p "$work" "$dir/artifacts"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$dir/zem-reader-fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$work" tests/fuzz/corpus 2>"$dir/fuzz.log" ||
  { tail -n 60 "$dir/fuzz.log" >&2; echo "test-fuzz: FAILED, see $dir/fuzz.log and $dir/artifacts/" >&2; exit 1; }
grep -E '^stat::number_of_executed_runs|^Done' "$dir/fuzz.log" || true
echo "test-fuzz: passed, no crash or sanitizer report in ${seconds} s"
