#!/usr/bin/env bash
# Builds tovrin for speed and times its jobs against the standard SQLite tools
# on N records (default 1,000,000) and on N/10, RUNS timed runs each (default
# 5), on databases made by tovrin's library and by the sqlite3 shell, on all
# CPUs and with both sides pinned to CPU 0 (as by taskset -c 0), and prints
# markdown tables of wall and CPU seconds:
#   bash bench/run.sh [N [RUNS]]
# Installs what is missing (sqldiff comes in sqlite3-tools). Needs about
# 5 GB of free disk under build-bench/ at the default N, for one N at a time,
# and takes about 25 to 35 minutes on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/install_packages.sh
install_packages "${build_packages[@]}" sqlite3-tools
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DTOVRIN_TESTS=OFF -DTOVRIN_WERROR=OFF -DTOVRIN_SANITIZE=OFF -DTOVRIN_FUZZ=OFF >/dev/null
ninja -C build-bench tovrin tovrin_bench
build-bench/tovrin_bench build-bench/tovrin build-bench/work "${1:-1000000}" "${2:-5}"
