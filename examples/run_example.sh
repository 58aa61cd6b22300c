#!/usr/bin/env bash
# Runs the bundled example with the tovrin binary named by the first argument,
# in a fresh folder "example" beside that binary, and leaves the results there.
# TOVRIN_EMULATOR, when set, runs the binary (Wine for tovrin.exe).
set -euo pipefail
binary=$(realpath "$1")
examples=$(cd "$(dirname "$0")" && pwd)
work=$(dirname "$binary")/example
rm -rf "$work"
mkdir -p "$work/data"
sqlite3 "$work/data/old.db" <"$examples/old.sql"
# The newer database ships inside a pack: a ZIP archive named *.zq.
sqlite3 "$work/new.db" <"$examples/new.sql"
(cd "$work" && zip -q -m data/base.zq new.db)
cd "$work"

tovrin() { ${TOVRIN_EMULATOR:-} "$binary" "$@"; }
show() {
  echo "\$ $*"
  "$@"
  echo
}

echo "In $work, where data/ holds old.db and a pack, base.zq, holding new.db:"
echo
show zip -sf data/base.zq
echo "Bring old.db up to date from new.db. The current folder lacks old.db, so"
echo "the data folder's copy is copied here first and only the copy is patched;"
echo "new.db is read straight from the pack:"
echo
show tovrin -autopatch data old.db new.db
show tovrin -diff data/old.db old.db
echo "Run the bundled patch script on new.db in a fresh folder, patched/. The"
echo "folder lacks new.db, so it is copied there out of the pack first:"
echo
mkdir patched
cp "$examples/patch.txt" patched/
(cd patched && show tovrin patch.txt ../data)
show tovrin -diff old.db patched/new.db
echo "The sResDef records it wrote (296 bytes each; floats little-endian):"
show sqlite3 -header -column patched/new.db "SELECT key,
  rtrim(CAST(substr(data, 1, 30) AS TEXT), char(0)) AS templateName,
  rtrim(CAST(substr(data, 31, 255) AS TEXT), char(0)) AS fileName,
  hex(substr(data, 289, 4)) AS fArg1, hex(substr(data, 293, 4)) AS fArg2
  FROM records WHERE length(data) = 296"
