#!/usr/bin/env bash
# Runs the bundled example with the tovrin binary named by the first argument,
# in a fresh folder "example" beside that binary, and leaves the results there.
set -euo pipefail
binary=$(realpath "$1")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(dirname "$binary")/example
rm -rf "$work"
mkdir -p "$work/data"
sqlite3 "$work/data/old.db" <"$examples/old.sql"
sqlite3 "$work/data/new.db" <"$examples/new.sql"
cd "$work"

tovrin() { "$binary" "$@"; }
show() {
  echo "\$ $*"
  "$@"
  echo
}

echo "In $work, where data/ holds two sample databases:"
echo
show tovrin -diff data/old.db data/new.db
echo "Bring old.db up to date from new.db. The current folder lacks old.db, so"
echo "the data folder's copy is copied here first and only the copy is patched:"
echo
show tovrin -autopatch data old.db new.db
show tovrin -diff old.db data/new.db
