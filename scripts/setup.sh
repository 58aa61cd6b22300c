#!/usr/bin/env bash
# Sets up a Debian machine for Tovrin, builds it and then either runs the
# bundled example or every test:
#   bash scripts/setup.sh example
#   bash scripts/setup.sh test
# Debian packages are installed only when missing (as root, or through sudo).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
case "$mode" in
  example) packages=(g++ cmake ninja-build libsqlite3-dev sqlite3 libgtest-dev libgmock-dev) ;;
  test) packages=(g++ cmake ninja-build libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
                  clang libclang-rt-14-dev clang-format) ;;
  *) echo "usage: bash scripts/setup.sh example|test" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build() {  # folder, then extra CMake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  ninja -C "$dir"
}

if [ "$mode" = example ]; then
  build build -DCMAKE_BUILD_TYPE=Release -DTOVRIN_TESTS=OFF
  bash examples/run_example.sh build/tovrin
  exit 0
fi

# Every test, twice: g++ with warnings as errors, then clang with the address
# and undefined-behaviour sanitizers. Then the formatting and the example.
build build -DCMAKE_CXX_COMPILER=g++ -DTOVRIN_WERROR=ON
ctest --test-dir build --output-on-failure -j2
build build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DTOVRIN_WERROR=ON -DTOVRIN_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug
ctest --test-dir build-sanitize --output-on-failure -j2

git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
bash examples/run_example.sh build/tovrin >/dev/null
echo "All tests passed."
