#!/bin/sh
# x3pconv's message cases, one row each: name, exit status, a text its
# standard error must hold, and the arguments. Nothing may reach standard
# output. Run from a fresh folder with the programs and the samples folder.
#   x3pconv_messages.sh X3PCONV XDTGEN SAMPLES WORK
set -u
x3pconv=$1 xdtgen=$2 samples=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
"$xdtgen" -m 0.05 40 30 s.xdt 2>/dev/null || exit 1
"$x3pconv" s.xdt made.x3p 2>/dev/null || exit 1
"$x3pconv" made.x3p made.dat 2>/dev/null || exit 1
head -c 300 made.x3p > cut.x3p
head -c 1000 s.xdt > short.xdt
: > taken.dat
failures=0

check() {
  name=$1 status=$2 says=$3
  shift 3
  "$x3pconv" "$@" >out 2>err
  got=$?
  if [ "$got" -ne "$status" ] || ! grep -qF -- "$says" err || [ -s out ]; then
    echo "FAIL $name: status $got (want $status), stderr:" >&2
    cat err >&2
    failures=$((failures + 1))
  fi
}

check "no arguments"          1 "Usage: x3pconv [-f]"
check "help"                  0 "Usage: x3pconv [-f]" --help
check "version"               0 "x3pconv " --version
check "unknown option"        1 "Usage: x3pconv" -q s.xdt a.x3p
check "unknown kind"          1 "Usage: x3pconv" -t png s.xdt a.x3p
check "third argument"        1 "Usage: x3pconv" s.xdt a.x3p b.x3p
check "missing input"         2 '"absent.xdt" does not exist' absent.xdt a.x3p
check "output taken"          3 '"taken.dat" already exists' made.x3p taken.dat
check "output is the input"   3 '"s.xdt" is the input file' -f -t x3p s.xdt s.xdt
check "X3P to X3P"            1 "is an X3P file and the output would be too" made.x3p again.x3p
check "data file to data"     1 "is a data file and the output would be too" made.dat again.dat
check "XDT to X3P"            0 'Conversion from "s.xdt" to "x.x3p" successful' s.xdt x.x3p
check "replaced with -f"      0 "successful" -f s.xdt x.x3p
check "X3P to data file"      0 'Conversion from "x.x3p" to "x.dat" successful' x.x3p x.dat
check "data file to X3P by -t" 0 "successful" -t x3p x.dat x.out
check "X3P to XDT"            0 'Conversion from "x.x3p" to "x.xdt" successful' x.x3p x.xdt
check "X3P to XDT by -t"      0 "successful" -t xdt x.x3p x.grid
check "XDT to XDT"            1 "is an XDT grid and the output would be too" x.xdt y.xdt
check "cut X3P"               4 "cut.x3p: not an X3P file: no ZIP container could be read" cut.x3p c.dat
check "cut X3P names its code" 4 "ERR_NOT_A_DATA_FILE" cut.x3p c.dat
check "XDT cut short"         4 'there was an error reading the file "short.xdt"' short.xdt s.x3p
if [ -f "$samples/SkiInfiniteFocus.x3p" ]; then
  check "increments differ"   0 "Warning: the Y increment (3.6802704e-06 m) differs from the X increment" "$samples/SkiInfiniteFocus.x3p" ski.dat
  check "infinite heights"    0 "Warning: 4272 heights could not be represented" -f "$samples/SkiInfiniteFocus.x3p" ski.dat
else
  echo "note: no $samples/SkiInfiniteFocus.x3p (../shared/x3p): its two cases are skipped" >&2
fi
[ ! -e c.dat ] || { echo "FAIL: a failed conversion left c.dat" >&2; failures=$((failures + 1)); }
[ "$failures" -eq 0 ]
