#!/bin/sh
# Checks the configured manual pages: every .TH carries the same full date
# (YYYY-MM-DD), nothing is left unconfigured, and mandoc -Tlint and
# groff -man -ww find nothing to say. A linter that is not installed is
# left out; with neither, the test reports itself skipped (status 77).
# Usage: man_pages_test.sh PAGE...
[ $# -gt 0 ] || { echo "usage: man_pages_test.sh PAGE..." >&2; exit 2; }
failed=0
dates=""
for page in "$@"; do
  [ -r "$page" ] || { echo "$page: cannot be read"; failed=1; continue; }
  date=$(sed -n '1s/^\.TH [A-Z0-9]* 1 "\([^"]*\)".*/\1/p' "$page")
  if ! printf '%s\n' "$date" | grep -Eq '^[0-9]{4}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])$'; then
    echo "$page: the first line is not .TH NAME 1 \"YYYY-MM-DD\" ...: $(sed -n 1p "$page")"
    failed=1
  fi
  dates="$dates$date
"
  if grep -n '@[A-Za-z_]*@' "$page"; then
    echo "$page: a placeholder was left unconfigured"
    failed=1
  fi
done
if [ "$(printf '%s' "$dates" | sort -u | wc -l)" -gt 1 ]; then
  echo "the pages carry different dates:"
  printf '%s' "$dates" | sort -u
  failed=1
fi

linted=0
if command -v mandoc >/dev/null 2>&1; then
  linted=1
  output=$(mandoc -Tlint -Wall "$@" 2>&1) || failed=1
  [ -z "$output" ] || { printf 'mandoc -Tlint:\n%s\n' "$output"; failed=1; }
else
  echo "mandoc not installed: its lint left out"
fi
if command -v groff >/dev/null 2>&1; then
  linted=1
  for page in "$@"; do
    output=$(groff -man -ww -z "$page" 2>&1) || failed=1
    [ -z "$output" ] || { printf 'groff -man -ww -z %s:\n%s\n' "$page" "$output"; failed=1; }
  done
else
  echo "groff not installed: its warnings left out"
fi
[ "$failed" -eq 0 ] || exit 1
[ "$linted" -eq 1 ] || { echo "neither mandoc nor groff installed: the pages were not linted"; exit 77; }
echo "$# pages clean"
