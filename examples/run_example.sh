#!/usr/bin/env bash
# Runs the bundled example:
#   bash run_example.sh [TOVRIN [FOLDER]]
# with the tovrin binary TOVRIN (the one on PATH if not given), in FOLDER,
# which it creates and must be empty, or else in a new temporary folder; it
# leaves the results there and says where. TOVRIN_EMULATOR, when set, runs
# the binary (Wine for tovrin.exe). It needs only bash, coreutils and gzip:
# steps that show results with sqlite3 or zip are left out where those are
# missing.
set -euo pipefail
binary=${1:-tovrin}
if [[ $binary == */* ]]; then
  binary=$(realpath "$binary")
else
  binary=$(command -v "$binary") || { echo "run_example.sh: no $binary on PATH" >&2; exit 1; }
fi
examples=$(cd "$(dirname "$0")" && pwd)
if [ -n "${2:-}" ]; then
  mkdir -p "$2"
  work=$(realpath "$2")
  [ -z "$(ls -A "$work")" ] || { echo "run_example.sh: $work is not empty" >&2; exit 1; }
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/tovrin-example.XXXXXX")
fi
cd "$work"

tovrin() { ${TOVRIN_EMULATOR:-} "$binary" "$@"; }
show() {
  echo "\$ $*"
  "$@"
  echo
}
# Shows a step that needs the tool $1, which the package only suggests; where
# it is missing, says how to install it instead.
show_with() {
  if command -v "$1" >/dev/null; then
    show "$@"
  else
    echo "\$ $*"
    echo "(skipped: $1 is not installed; apt-get install $1 installs it)"
    echo
  fi
}

# The number $1 as $2 bytes, little-endian, as ZIP stores numbers.
le() {
  local i
  for ((i = 0; i < $2; i++)); do printf "\\x$(printf %02x $(($1 >> 8 * i & 255)))"; done
}

# Does what `zip -q -m ARCHIVE FILE` does for one file: makes the ZIP archive
# $1 holding the file $2 deflated, and removes the file. zip is only
# suggested, so this uses gzip, which every system has: a gzip file holds
# the same deflated data and CRC-32, between a header of 10 bytes (-n leaves
# out name and time) and a trailer of CRC-32 and size.
pack() {
  local archive=$1 name=$2 size deflated crc
  gzip -n -c "$name" >"$name.gz"
  size=$(wc -c <"$name")
  deflated=$(($(wc -c <"$name.gz") - 18))
  # The CRC-32's bytes, in the order ZIP wants them too, as printf escapes.
  crc=$(tail -c 8 "$name.gz" | head -c 4 | od -An -tx1 | tr -d ' \n' | sed 's/../\\x&/g')
  # What both headers of the entry hold: version 2.0 needed, no flags,
  # deflated, 1980-01-01 00:00, CRC-32, sizes, the name's length, no extra.
  common() {
    le 20 2; le 0 2; le 8 2; le 0 2; le 33 2; printf "$crc"; le "$deflated" 4; le "$size" 4
    le ${#name} 2; le 0 2
  }
  {
    printf 'PK\3\4'; common; printf %s "$name"   # the local header,
    tail -c +11 "$name.gz" | head -c "$deflated"  # the data,
    # the central directory: made by version 2.0, no comment, disk 0, no
    # attributes, the local header at 0;
    printf 'PK\1\2'; le 20 2; common; le 0 2; le 0 2; le 0 2; le 0 4; le 0 4; printf %s "$name"
    # its end: one entry, the directory's size and place, no comment.
    printf 'PK\5\6'; le 0 2; le 0 2; le 1 2; le 1 2; le $((46 + ${#name})) 4
    le $((30 + ${#name} + deflated)) 4; le 0 2
  } >"$archive"
  rm "$name" "$name.gz"
}

echo "In $work:"
echo
echo "Make the two sample databases: a patch script fills an empty file. old.db"
echo "goes into the data folder, data/, and new.db into a pack there, base.zq,"
echo "a ZIP archive:"
echo
mkdir data
cp "$examples/old.txt" "$examples/new.txt" .
touch data/old.db new.db
(cd data && show tovrin ../old.txt .)
show tovrin new.txt .
pack data/base.zq new.db
show_with zip -sf data/base.zq
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
echo "The sResDef records in patched/new.db (296 bytes each; floats little-endian):"
show_with sqlite3 -header -column patched/new.db "SELECT key,
  rtrim(CAST(substr(data, 1, 30) AS TEXT), char(0)) AS templateName,
  rtrim(CAST(substr(data, 31, 255) AS TEXT), char(0)) AS fileName,
  hex(substr(data, 289, 4)) AS fArg1, hex(substr(data, 293, 4)) AS fArg2
  FROM records"
echo "The results are in $work."
