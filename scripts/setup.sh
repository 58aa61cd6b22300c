#!/usr/bin/env bash
# Sets up a Debian 12 machine for Tovrin, builds it and then either runs the
# bundled example or every test:
#   bash scripts/setup.sh example
#   bash scripts/setup.sh test      (ends with the Windows build and its tests)
#   bash scripts/setup.sh windows   (only tovrin.exe, its tests under Wine)
# Debian packages are installed only when missing (as root, or through sudo).
# Each mode builds in folders of its own, with every setting it relies on
# given explicitly, so neither can run the other's binaries.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/install_packages.sh
windows_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 make
                  libgtest-dev tcl dpkg-dev)
mode=${1:-}
# dpkg-dev and file: Debian's hardening flags, and what `cpack -G DEB` uses.
case "$mode" in
  example) install_packages "${build_packages[@]}" dpkg-dev file ;;
  test)
    install_packages "${build_packages[@]}" libgtest-dev clang libclang-rt-14-dev clang-format git \
      dpkg-dev file mandoc lintian unzip "${windows_packages[@]}"
    ;;
  windows)
    install_packages "${build_packages[@]}" "${windows_packages[@]}"
    exec bash scripts/windows.sh
    ;;
  *) echo "usage: bash scripts/setup.sh example|test|windows" >&2; exit 2 ;;
esac

build() {  # folder, then CMake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}

# Builds that may be packaged take Debian's hardening flags (fortified
# functions, stack protector, read-only relocations bound at start).
buildflags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }

if [ "$mode" = example ]; then
  build build-example -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ -DTOVRIN_TESTS=OFF \
    -DTOVRIN_WERROR=OFF -DTOVRIN_SANITIZE=OFF -DTOVRIN_FUZZ=OFF \
    -DCMAKE_CXX_FLAGS="$(buildflags CPPFLAGS) $(buildflags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(buildflags LDFLAGS)"
  rm -rf build-example/example
  bash examples/run_example.sh build-example/tovrin build-example/example
  exit 0
fi

# Every test, twice: g++ with warnings as errors, then clang with the address
# and undefined-behaviour sanitizers, which also builds the fuzz targets.
# The first build is the one packaged.
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DTOVRIN_TESTS=ON \
  -DTOVRIN_WERROR=ON -DTOVRIN_SANITIZE=OFF -DTOVRIN_FUZZ=OFF \
  -DCMAKE_CXX_FLAGS="$(buildflags CPPFLAGS) $(buildflags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflags LDFLAGS)"
ctest --test-dir build --output-on-failure -j2
# The fault points exist only in the test programs, never in tovrin itself.
if nm -C build/tovrin | grep -E 'CFaultScope|faultHits|lockWaitMs'; then
  echo "build/tovrin carries the test build's fault points." >&2
  exit 1
fi
build build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DTOVRIN_TESTS=ON \
  -DTOVRIN_WERROR=ON -DTOVRIN_SANITIZE=ON -DTOVRIN_FUZZ=ON
ctest --test-dir build-sanitize --output-on-failure -j2

# Bounded fuzzing: FUZZ_SECONDS per target (30 unless set). New inputs go to
# build-sanitize/corpus/, the checked-in seeds in fuzz/corpus/ are only read.
for target in script database; do
  corpus="$PWD/build-sanitize/corpus/$target"
  mkdir -p "$corpus"
  log=build-sanitize/${target}_fuzzer.log
  if ! build-sanitize/${target}_fuzzer -max_total_time="${FUZZ_SECONDS:-30}" \
      -artifact_prefix="$PWD/build-sanitize/${target}-" "$corpus" "$PWD/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "The $target fuzzer found a failing input (see build-sanitize/${target}-*)." >&2
    exit 1
  fi
  echo "Fuzzed the $target path: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log")"
done

git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror

# Every table of the README renders as one table: it stands apart from the
# text around it, its second line is the |---| line, and every row has the
# header's number of cells (`\|` is a pipe inside a cell). A row cut off by
# a paragraph would render as stray text.
awk '
  function fail(why) { printf "README.md:%d: %s\n", NR, why >"/dev/stderr"; failed = 1 }
  function cells(line) { gsub(/\\\|/, "", line); return gsub(/\|/, "", line) - 1 }
  /^\|/ {
    if (!rows) {
      if (previous != "") fail("a table must follow a blank line")
      columns = cells($0)
    } else if (cells($0) != columns) {
      fail("a row of " cells($0) " cells in a table of " columns)
    }
    if (++rows == 2 && $0 !~ /^\|( *:?-+:? *\|)+$/) fail("a table'\''s second line must be |---|")
    previous = $0
    next
  }
  {
    if (rows == 1) fail("a table needs a |---| line")
    if (rows && $0 != "") fail("a table must be followed by a blank line")
    rows = 0
    previous = $0
  }
  END { exit failed }' README.md

# The Debian package holds the binary, the manual page (lint-clean above
# style level), the completion, the copyright and the changelog, and what it
# installs runs the example.
(cd build && rm -f tovrin_*.deb && cpack -G DEB >/dev/null)
deb=$(echo build/tovrin_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for file in usr/bin/tovrin usr/share/man/man1/tovrin.1.gz usr/share/bash-completion/completions/tovrin \
    usr/share/doc/tovrin/copyright usr/share/doc/tovrin/changelog.gz; do
  [ -f "$root/$file" ] || { echo "The package lacks $file." >&2; exit 1; }
done
mandoc -T lint -W warning "$root/usr/share/man/man1/tovrin.1.gz"
# The changelog's latest entry is the version packaged, and the copyright
# file quotes LICENSE word for word.
[ "$(dpkg-parsechangelog -l CHANGELOG -S Version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
  { echo "CHANGELOG lacks an entry for version $(dpkg-deb -f "$deb" Version)." >&2; exit 1; }
diff <(sed -n '/^Permission/,$p' LICENSE) \
  <(sed -n '/^License: Expat$/,/^$/{/^ /s/^ \.\?//p}' doc/copyright)
# Debian's package checker finds nothing to report at error, warning or
# informational level, and no tag is overridden; its report is shown when it
# finds something.
if ! report=$(lintian --fail-on error,warning,info --display-info "$deb" 2>&1); then
  echo "$report" >&2
  echo "lintian found fault with $deb." >&2
  exit 1
fi
[ "$("$root/usr/bin/tovrin" --version)" = "tovrin $(dpkg-deb -f "$deb" Version)" ] ||
  { echo "tovrin --version does not give the package's version." >&2; exit 1; }

# A PATH without the tools the package only suggests, sqlite3 and zip, nor
# unzip, which the completion uses where it is installed.
hidden=$root/hidden-path
mkdir "$hidden"
for tool in /usr/bin/*; do
  case ${tool##*/} in sqlite3 | zip | unzip) ;; *) ln -s "$tool" "$hidden/" ;; esac
done

# The completion offers what tovrin would find: files and folders, and the
# entries of the packs (folders for those further down), in the current
# folder, and after -autopatch in the data folder too.
mkdir -p "$root/try/sub" "$root/try/data/deep" "$root/pack/levels"
touch "$root/try/a.db" "$root/try/notes.txt" "$root/try/data/old.db" "$root/pack/new.db" \
  "$root/pack/levels/n.db" "$root/pack/packed.db"
(cd "$root/pack" && zip -qr ../try/data/base.zq new.db levels && zip -q ../try/here.zq packed.db)
completion=$root/usr/share/bash-completion/completions/tovrin
expect_completion() {  # what is offered, then the words of the command line
  local expected=$1 offered
  shift
  offered=$(cd "$root/try" && bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _tovrin 2>/dev/null; printf "%s " "${COMPREPLY[@]}"' "$completion" "$@")
  [ "$offered" = "$expected " ] || { echo "Completion of '$*': '$offered'" >&2; exit 1; }
}
expect_completion "-diff -autopatch --help --version a.db data/ here.zq notes.txt sub/" tovrin ""
expect_completion "a.db data/ here.zq notes.txt packed.db sub/" tovrin -diff ""
expect_completion "a.db base.zq data/ deep/ here.zq levels/ new.db notes.txt old.db packed.db sub/" \
  tovrin -autopatch data a.db ""
expect_completion "levels/n.db" tovrin -autopatch data levels/
expect_completion "data sub" tovrin patch.txt ""
PATH=$hidden expect_completion "a.db data/ here.zq notes.txt sub/" tovrin -diff ""

# The installed example runs in the folder it is given, or in a new one it
# names, with the suggested tools and without them; never beside the binary.
example=$root/usr/share/doc/tovrin/examples/run_example.sh
bash "$example" "$root/usr/bin/tovrin" "$root/example" >/dev/null
[ -f "$root/example/patched/new.db" ] || { echo "The example left no results." >&2; exit 1; }
said=$(TMPDIR=$root PATH=$root/usr/bin:$hidden bash "$example")
grep -q "apt-get install sqlite3" <<<"$said" && grep -q "apt-get install zip" <<<"$said" ||
  { echo "Without sqlite3 and zip, the example does not say how to get them." >&2; exit 1; }
[ -f "$(tail -n 1 <<<"$said" | sed -n 's/^The results are in \(.*\)\.$/\1/p')/patched/new.db" ] ||
  { echo "The example in a temporary folder left no results." >&2; exit 1; }
[ "$(ls "$root/usr/bin")" = tovrin ] || { echo "The example wrote beside the binary." >&2; exit 1; }

# At a terminal (script gives it one) a failure is shown in a box that waits
# for Enter; the unit tests check the line on standard error elsewhere.
boxed=$(cd "$root/try" && echo | script -qec "'$root/usr/bin/tovrin' -diff" /dev/null || true)
grep -q '^| You must specify two files to -diff |' <<<"$boxed" && grep -q '(press Enter)' <<<"$boxed" ||
  { echo "No box at a terminal: '$boxed'" >&2; exit 1; }

bash scripts/windows.sh
echo "All tests passed."
