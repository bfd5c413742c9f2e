#!/usr/bin/env bash
# Builds and runs every test: native, with AddressSanitizer and UBSan, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

scripts/check-includes.sh

jobs=$(nproc)

# Every test runs natively once, in the sanitized build, which checks everything a plain build
# would and more. The font and window libraries under the test console keep caches until exit:
# not our leaks.
echo "=== asan"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$jobs"

# The optimized build: the benchmarks, so that they keep compiling, the package, and the system
# tests that measure the node's memory, which a sanitizer's own would swamp.
echo "=== release"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target programs benchmarks varnix_system_tests
GTEST_FILTER='*HoldsNoMoreMemory:NodeHostileTest.AFlood*:NodeHostileTest.LargeDatagrams*:NodeHostileTest.QueriesOfMadeUp*' \
  ctest --preset release -j "$jobs" -R '^varnix_system_tests_'

echo "=== the Debian package"
(cd build/release && rm -f varnix_*.deb && cpack >/dev/null)
scripts/check-package.sh build/release/varnix_*.deb
echo "=== fuzz targets (the programs themselves are built above)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target fuzzers
echo "=== fuzz corpus replay"
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  build/fuzz/fuzz/"${name}"_fuzzer -runs=0 "$corpus"
done

echo "=== mingw (under Wine: two halves side by side, each in a network namespace and a Wine of its own)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
# Half N of the system tests, after the tests given (a ctest option), with its output kept
# apart so that the two halves' lines do not mix.
wine_half() {
  tests/isolated.sh --loopback-only bash -c '
    set -e
    source scripts/wine-env.sh
    trap wine_env_cleanup EXIT
    '"$2"'
    GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX='"$1"' ctest --preset mingw -R "^varnix_system_tests$"' \
    >"build/mingw/half-$1.log" 2>&1
}
wine_half 0 "" &
first=$!
wine_half 1 'ctest --preset mingw -E "^varnix_system_tests$"' &
second=$!
status=0
wait $first || status=1
wait $second || status=1
cat build/mingw/half-0.log build/mingw/half-1.log
[ $status = 0 ] || { echo "a test under Wine failed"; exit 1; }
echo "=== the Windows zip"
(cd build/mingw && rm -f varnix-*-win64.zip && cpack >/dev/null)
listing=$(cmake -E tar tf build/mingw/varnix-*-win64.zip)
for file in varnix.exe varnix-relay.exe varnix-hub.exe varnixctl.exe varnix-console.exe README.txt README.md \
  Config/programs.ini.example; do
  grep -q "/$file\$" <<<"$listing" || { echo "the zip lacks $file"; exit 1; }
done
echo "$listing"
# What Explorer shows of each program: its icon (group 14), version (16) and manifest (24).
for program in varnix varnix-relay varnix-hub varnixctl varnix-console; do
  types=$(x86_64-w64-mingw32-objdump -p "build/mingw/$program.exe" |
    sed -n '/The .rsrc Resource Directory/,$p' | grep -oE '^0[0-9a-f]{2}   Entry: ID: 0x[0-9a-f]+')
  for type in 00000e 000010 000018; do
    grep -q "ID: 0x$type\$" <<<"$types" || { echo "$program.exe lacks resource type 0x$type"; exit 1; }
  done
done
# The zip's programs carry no debug sections; their symbols stay beside the build.
unpacked=$(mktemp -d)
unzip -q build/mingw/varnix-*-win64.zip -d "$unpacked"
# The example is for Notepad: CR LF, every line.
if grep -qv $'\r$' "$unpacked"/*/Config/programs.ini.example; then
  echo "Config/programs.ini.example has a line without CR LF"
  exit 1
fi
for program in varnix varnix-relay varnix-hub varnixctl varnix-console; do
  if x86_64-w64-mingw32-objdump -h "$unpacked"/*/"$program.exe" | grep -q '\.debug_'; then
    echo "$program.exe in the zip carries debug sections"
    exit 1
  fi
  [ -s "build/mingw/$program.exe.debug" ] || { echo "no symbols kept for $program.exe"; exit 1; }
done
ls -l "$unpacked"/*/*.exe
rm -rf "$unpacked"
# Every line of the zip's README.txt ends with CR LF, as Notepad needs.
readme=$(unzip -p build/mingw/varnix-*-win64.zip '*/README.txt')
[ "$(grep -c $'\r$' <<<"$readme")" = "$(wc -l <<<"$readme")" ] || {
  echo "README.txt in the zip has lines without CR LF"
  exit 1
}

echo "=== the Windows console as a user sees it (Wine with its X11 driver, 100% and 150%)"
tests/isolated.sh --loopback-only scripts/wine-console-screenshots.sh
