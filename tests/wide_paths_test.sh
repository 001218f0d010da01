#!/bin/sh
# The wide-path rule as the manual pages and the README give it for the three
# programs: an argument that begins with FF FE or FE FF names the file whose
# name is the UTF-16 (little-endian) text after the mark. Outputs and the
# checks of whether a file exists follow it; the XDT reader opens narrow
# names only.
# Usage: wide_paths_test.sh MAPCONV MAPINFO XDTGEN SCRATCH_FOLDER
[ $# -eq 4 ] || { echo "usage: wide_paths_test.sh MAPCONV MAPINFO XDTGEN SCRATCH_FOLDER" >&2; exit 2; }
mapconv=$1 mapinfo=$2 xdtgen=$3 scratch=$4
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 1
failed=0
expect() {  # expect STATUS DESCRIPTION COMMAND...: runs COMMAND, which must exit with STATUS
  want=$1 what=$2
  shift 2
  "$@" >/dev/null 2>&1
  got=$?
  [ "$got" -eq "$want" ] || { echo "$what: exit status $got, expected $want"; failed=1; }
}
present() {  # present FILE DESCRIPTION
  [ -f "$1" ] || { echo "$2: $1 was not written"; failed=1; }
}

# U+4E2D U+6587 and U+4E2D U+6588 under either mark, their units read
# little-endian both times; their UTF-8 twins are the files on disk.
surface=$(printf '\377\376\055\116\207\145')   # FF FE, then 中文
converted=$(printf '\376\377\055\116\210\145') # FE FF, then 中斈
picture=$(printf '\377\376\055\116\211\145')   # FF FE, then 中斉

expect 0 "xdtgen writes a wide output" "$xdtgen" -s 3 20 10 "$surface"
present 中文 "xdtgen's wide output"
expect 2 "xdtgen sees that a wide output exists" "$xdtgen" -s 3 20 10 "$surface"

cp 中文 grid.xdt
expect 0 "mapconv writes a wide output" "$mapconv" grid.xdt "$converted"
present 中斈 "mapconv's wide output"
expect 3 "mapconv sees that a wide output exists" "$mapconv" grid.xdt "$converted"
expect 4 "mapconv opens its input under the narrow name only" "$mapconv" "$surface" other.dat
expect 2 "mapconv checks a wide input's existence under the rule" \
  "$mapconv" "$(printf '\377\376\055\116\212\145')" other.dat

expect 0 "mapinfo reads a data file named by a wide path" "$mapinfo" "$converted"
expect 1 "mapinfo opens an XDT file under the narrow name only" "$mapinfo" "$surface"
expect 0 "mapinfo writes a picture named by a wide path" "$mapinfo" --png "$picture" 中斈
present 中斉 "mapinfo's wide picture"
expect 1 "mapinfo sees that a wide picture exists" "$mapinfo" --png "$picture" 中斈

[ "$failed" -eq 0 ] || exit 1
echo "wide paths: as documented"
