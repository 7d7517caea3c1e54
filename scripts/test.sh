#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build, an address and undefined-behaviour
# sanitizer build (which also runs the fuzz targets), and a thread-sanitizer build of the
# threaded parts. Ends with CTest's summary line.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1
: "${FUZZ_SECONDS:=60}"
clang=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

set -e
"$root/scripts/build.sh" plain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON
"$root/scripts/build.sh" tsan "${clang[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSANITIZE=thread -DTHREADED_ONLY=ON
"$root/scripts/build.sh" asan "${clang[@]}" -DCMAKE_BUILD_TYPE=Debug \
  -DSANITIZE=address,undefined -DFUZZ=ON -DFUZZ_SECONDS="$FUZZ_SECONDS"
set +e

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Each build's CTest summary is repeated at the end, so the last lines tell the whole run;
# the asan build, which runs the most, comes last.
status=0
summaries=()
for b in plain tsan asan; do
  echo "== tests of the $b build"
  log="$root/build/$b/ctest.log"
  ctest --test-dir "$root/build/$b" -j "$(nproc)" --output-on-failure --no-tests=ignore 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summaries+=("$b: $(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)")
done
echo "== summary"
printf '%s\n' "${summaries[@]}"
exit $status
