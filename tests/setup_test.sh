#!/bin/sh
# tools/setup's decisions, with dpkg-query, apt-get, sudo and id faked: what it
# installs, how (as root or through sudo), and when it refuses.
set -u
setup=$(cd "$(dirname "$0")/.." && pwd)/tools/setup
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/with-sudo"
ln -s "$(command -v env)" "$work/bin/env"
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for package; do :; done # the last argument
case " $REMOVED " in *" $package "*) echo "deinstall ok config-files"; exit 0 ;; esac
case " $MISSING " in *" $package "*) echo "dpkg-query: no packages found matching $package" >&2; exit 1 ;; esac
echo "install ok installed"
FAKE
printf '#!/bin/sh\necho "apt-get $*" >>"$LOG"\n' >"$work/bin/apt-get"
printf '#!/bin/sh\necho "$UID_AS"\n' >"$work/bin/id"
printf '#!/bin/sh\necho sudo >>"$LOG"\nexec "$@"\n' >"$work/with-sudo/sudo"
chmod +x "$work/bin/"* "$work/with-sudo/sudo"

failures=0
# purpose | uid | sudo | missing | removed | status | apt-get and sudo calls, ";"-separated
while IFS='|' read -r purpose uid sudo missing removed status calls; do
  path=$work/bin
  [ "$sudo" = yes ] && path=$work/with-sudo:$path
  : >"$work/log"
  PATH=$path UID_AS=$uid MISSING=$missing REMOVED=$removed LOG=$work/log /bin/sh "$setup" "$purpose" \
    >/dev/null 2>"$work/stderr"
  got_status=$?
  got_calls=$(tr '\n' ';' <"$work/log")
  if [ "$got_status" != "$status" ] || [ "$got_calls" != "$calls" ]; then
    echo "FAIL: $purpose uid=$uid sudo=$sudo missing='$missing' removed='$removed':" \
      "status $got_status, calls '$got_calls'; expected $status, '$calls'"
    sed 's/^/  stderr: /' "$work/stderr"
    failures=$((failures + 1))
  fi
done <<'TABLE'
programs|0|no|||0|
programs|1000|no|||0|
programs|0|no|cmake libpng-dev||0|apt-get update -qq;apt-get install -y -qq cmake libpng-dev;
programs|1000|yes|cmake||0|sudo;apt-get update -qq;sudo;apt-get install -y -qq cmake;
programs|1000|no|cmake||1|
programs|0|no||cmake|0|apt-get update -qq;apt-get install -y -qq cmake;
programs|0|no|libgtest-dev||0|
tests|0|no|g++ libgtest-dev||0|apt-get update -qq;apt-get install -y -qq g++ libgtest-dev;
ci|0|no|valgrind pybind11-dev clang||0|apt-get update -qq;apt-get install -y -qq pybind11-dev clang valgrind;
nonsense|0|no|||2|
TABLE

if /bin/sh "$setup" --list tests | grep -qx libgtest-dev && ! /bin/sh "$setup" --list programs | grep -q gtest; then
  :
else
  echo "FAIL: --list does not give each purpose its own packages"
  failures=$((failures + 1))
fi
echo "$failures failures"
[ "$failures" -eq 0 ]
