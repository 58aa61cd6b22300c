#!/usr/bin/env bash
# Cross-builds tovrin.exe for 64-bit Windows on Debian and runs every test and
# the example under Wine, headless. Called by `bash scripts/setup.sh windows`
# and at the end of `bash scripts/setup.sh test`; packages are installed by
# the caller. Everything it makes stays in build-windows/: SQLite and libzip,
# built once from Debian's own source packages, the Wine prefix, the build.
set -euo pipefail
cd "$(dirname "$0")/.."

out=$PWD/build-windows
deps=$out/deps
export WINEPREFIX=$out/wine WINEDEBUG=-all
mkdir -p "$out"

# Source packages come from the archive the machine already uses: its deb
# lines (or deb822 stanzas) again, as deb-src.
enable_sources() {
  apt-get source --print-uris -qq sqlite3 >/dev/null 2>&1 && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  local list=/etc/apt/sources.list.d/tovrin-deb-src
  if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
    cat /etc/apt/sources.list.d/*.sources | sed 's/^Types: deb$/Types: deb-src/' |
      "${sudo[@]}" tee "$list.sources" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed 's/^deb /deb-src /' | "${sudo[@]}" tee "$list.list" >/dev/null
  fi
  "${sudo[@]}" apt-get update -q
}

# SQLite as its amalgamation, made from the Debian source with tclsh, and
# libzip, both static for MinGW.
build_dependencies() {
  [ -f "$deps/lib/libsqlite3.a" ] && [ -f "$deps/lib/libzip.a" ] && return 0
  enable_sources
  rm -rf "$out/src" "$deps"
  mkdir -p "$out/src/amalgamation" "$deps/lib" "$deps/include"
  (cd "$out/src" && apt-get source -qq sqlite3 libzip >/dev/null 2>&1)
  (cd "$out/src/amalgamation" && ../sqlite3-*/configure --quiet >/dev/null && make -s sqlite3.c)
  x86_64-w64-mingw32-gcc-posix -O2 -c "$out/src/amalgamation/sqlite3.c" -o "$out/src/sqlite3.o"
  x86_64-w64-mingw32-ar rcs "$deps/lib/libsqlite3.a" "$out/src/sqlite3.o"
  cp "$out/src/amalgamation/sqlite3.h" "$deps/include/"
  cmake -S "$out"/src/libzip-*/ -B "$out/src/libzip-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
    -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF >/dev/null
  ninja -C "$out/src/libzip-build" install >/dev/null
}

build_dependencies
# One Wine server, and the services Wine starts with its first program, run
# from here to the end: started by a test program instead, the services
# would hold its output open, and ctest would count that test as running
# until the last one ended. A server that a run stopped midway left behind
# is ended first. A new prefix takes half a minute to set up: before the
# build, which runs the test programs under Wine to list their tests.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w
# The server starts in the prefix, so a fresh clone makes it first; the
# empty folder becomes a prefix at wineboot.
mkdir -p "$WINEPREFIX"
# It must not hold this script's output open, so what it says goes to a file.
if ! /usr/lib/wine/wineserver -p </dev/null >"$out/wineserver.log" 2>&1; then
  cat "$out/wineserver.log" >&2
  exit 1
fi
trap '/usr/lib/wine/wineserver -k' EXIT
/usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1 || true
cmake -S . -B "$out/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DTOVRIN_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_TESTS=ON \
  -DTOVRIN_WERROR=ON -DTOVRIN_SANITIZE=OFF -DTOVRIN_FUZZ=OFF >/dev/null
ninja -C "$out/build"
ctest --test-dir "$out/build" --output-on-failure -j2
(cd "$out/build" && rm -f tovrin-*-win64.zip && cpack -G ZIP >/dev/null)
# The zip carries the copyright and licenses, as the Debian package does.
rm -rf "$out/unzipped" && mkdir "$out/unzipped"
(cd "$out/unzipped" && cmake -E tar xf "$out"/build/tovrin-*-win64.zip)
cmp doc/copyright "$out"/unzipped/tovrin-*-win64/COPYRIGHT.txt

# The example under Wine prints what it prints on Linux, but for CR LF line
# ends, and leaves the same databases.
cmake -S . -B "$out/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DTOVRIN_TESTS=OFF -DTOVRIN_WERROR=OFF -DTOVRIN_SANITIZE=OFF -DTOVRIN_FUZZ=OFF >/dev/null
ninja -C "$out/linux" tovrin >/dev/null
rm -rf "$out/linux/example" "$out/build/example"
bash examples/run_example.sh "$out/linux/tovrin" "$out/linux/example" | sed "s|$out/linux|HERE|" \
  >"$out/example-linux.txt"
TOVRIN_EMULATOR=/usr/lib/wine/wine64 bash examples/run_example.sh "$out/build/tovrin.exe" \
  "$out/build/example" | tr -d '\r' | sed "s|$out/build|HERE|" >"$out/example-windows.txt"
diff -u "$out/example-linux.txt" "$out/example-windows.txt"
for db in old.db patched/new.db; do
  diff <(sqlite3 "$out/linux/example/$db" .dump) <(sqlite3 "$out/build/example/$db" .dump)
done
echo "Windows: tovrin.exe built, tested and run under Wine ($(ls "$out"/build/tovrin-*-win64.zip))."
