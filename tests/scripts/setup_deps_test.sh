#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# setup_deps_test.sh SETUP-DEPS: runs scripts/setup-deps against a dpkg-query that reports
# the states of a table and an apt-get that only records its calls, and checks when apt is
# asked for what.
set -euo pipefail
setup_deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/state"

# dpkg-query -W -f=FORMAT PACKAGE: the state in state/PACKAGE (two letters, as dpkg
# abbreviates it; ii when there is no file; "none" for a package dpkg never heard of), in
# whichever format is asked for.
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
format=$2 package=$3
state=ii
[ -f "$FAKE_STATE/$package" ] && state=$(cat "$FAKE_STATE/$package")
if [ "$state" = none ]; then echo "dpkg-query: no packages found matching $package" >&2; exit 1; fi
case $format in
  *db:Status-Abbrev*) printf '%s ' "$state" ;;
  *) declare -A want=([i]=install [h]=hold [r]=deinstall [u]=unknown)
     declare -A now=([i]=installed [c]=config-files [n]=not-installed [U]=unpacked)
     printf '%s ok %s' "${want[${state:0:1}]}" "${now[${state:1:1}]}" ;;
esac
FAKE
cat >"$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
FAKE
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-get"

passed=0 failures=0
# check NAME STATES EXPECTED-STATUS EXPECTED-APT-CALLS EXPECTED-LINE [VAR=VALUE...]: STATES
# is a list of package=state; the apt calls are compared joined by '|', options left out;
# EXPECTED-LINE, unless empty, is a line the output must hold.
check() {
  local name=$1 states=$2 expected_status=$3 expected_apt=$4 expected_line=$5
  shift 5
  rm -f "$work/state/"* "$work/apt.log"
  touch "$work/apt.log"
  for entry in $states; do echo "${entry#*=}" >"$work/state/${entry%%=*}"; done
  local status=0
  env PATH="$work/bin:$PATH" FAKE_STATE="$work/state" FAKE_LOG="$work/apt.log" "$@" \
    "$setup_deps" demo >"$work/out" 2>&1 || status=$?
  local apt
  apt=$(sed -E 's/ -[a-z-]+//g; s/^apt-get //' "$work/apt.log" | paste -sd '|')
  if [ "$status" != "$expected_status" ] || [ "$apt" != "$expected_apt" ] ||
    { [ -n "$expected_line" ] && ! grep -qxF -- "$expected_line" "$work/out"; }; then
    echo "FAILED: $name: exit $status (expected $expected_status), apt calls '$apt'" \
      "(expected '$expected_apt'), line '$expected_line'; output:"
    cat "$work/out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
    passed=$((passed + 1))
  fi
}

#     case                                    states                       exit  apt calls                          line
check "everything installed"                  ""                           0     ""                                 ""
check "a package on hold counts as installed" "cmake=hi"                   0     ""                                 ""
check "only what is missing is installed"     "cmake=un libace-dev=none"   0     "update|install cmake libace-dev"  ""
check "config files alone are not installed"  "g++=rc"                     0     "update|install g++"               ""
check "KITE_NO_SETUP lists what is missing"   "cmake=un"                   1     ""                                 "  cmake" KITE_NO_SETUP=1
check "KITE_NO_SETUP with nothing missing"    "cmake=hi"                   0     ""                                 "" KITE_NO_SETUP=1
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
