#!/usr/bin/env bash
# tools/install-deps against a package manager played by stubs on PATH, on the registry's bad days:
# an update that fails (then succeeds, or never), a package whose index is behind the native one,
# a package the lists do not have. It must retry the update, go on with the lists it has, install
# what it can, and name each package it cannot install with apt's reason (exit status 3).
set -u
repo=$1
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); fi
}
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
# State: installed (NAME:ARCH a line), foreign architectures, calls made, updates that are to fail,
# packages whose dependencies cannot be met.
cat >"$stubs/dpkg" <<'STUB'
#!/bin/bash
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STATE/arches" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$STATE/arches" ;;
esac
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/bash
name=${@: -1}
sed -n "s/^$name:\(.*\)/\1 install ok installed/p" "$STATE/installed"
STUB
cat >"$stubs/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
if [[ $1 == update ]]; then
  left=$(cat "$STATE/update_failures")
  ((left == 0)) && exit 0
  echo $((left - 1)) >"$STATE/update_failures"
  echo "E: Failed to fetch http://deb.example/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress?"
  exit 100
fi
packages=()
for word in "$@"; do [[ $word == -* || $word == install || $word == DPkg::* ]] || packages+=("$word"); done
for pkg in "${packages[@]}"; do
  [[ $pkg == *:* ]] || pkg=$pkg:amd64
  if grep -qx "${pkg%:amd64}" "$STATE/unknown"; then echo "E: Unable to locate package ${pkg%:amd64}"; exit 100; fi
  if grep -qx "$pkg" "$STATE/broken"; then
    printf 'Some packages could not be installed.\nThe following packages have unmet dependencies:\n'
    echo " $pkg : Depends: ${pkg%%-dev:*}1:${pkg##*:} (= 1.0-1) but 1.0-2 is to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
for pkg in "${packages[@]}"; do [[ $pkg == *:* ]] && echo "$pkg" || echo "$pkg:amd64"; done >>"$STATE/installed"
STUB
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
chmod +x "$stubs"/*

# run UPDATE_FAILURES BROKEN UNKNOWN PACKAGE...: install-deps with that state; sets out, rc.
run() {
  export STATE=$stubs/state
  rm -rf "$STATE" && mkdir "$STATE"
  echo "$1" >"$STATE/update_failures"
  tr ' ' '\n' <<<"$2" >"$STATE/broken"
  tr ' ' '\n' <<<"$3" >"$STATE/unknown"
  echo "jq:amd64" >"$STATE/installed"
  shift 3
  out=$(PATH=$stubs:$PATH UPDATE_PAUSE=0 "$repo/tools/install-deps" "$@" 2>&1)
  rc=$?
}
calls() { grep -c "apt-get $1" "$STATE/calls" 2>/dev/null; }
installed() { grep -qx "$1" "$STATE/installed"; }

run 0 "" "" jq
check "nothing missing: no update, no install" test "$rc" -eq 0 -a ! -e "$STATE/calls"
run 2 "" "" jq cmake libfoo-dev:armhf
check "an update failing twice is tried again and the install goes on" \
  test "$rc $(calls update) $(grep -c 'apt-get update failed (try [12] of 3): E: Failed to fetch' <<<"$out")" = "0 3 2"
check "... the foreign architecture added, everything installed" eval 'grep -qx armhf "$STATE/arches" && installed cmake:amd64 && installed libfoo-dev:armhf'
run 9 "" "" cmake
check "an update that keeps failing: three tries, then the lists already here" \
  test "$rc $(calls update)" = "0 3" -a "$(grep -c 'going on with the package lists already here' <<<"$out")" -eq 1
check "... and the package installed from them" installed cmake:amd64
run 0 "libfoo-dev:armhf libbar-dev:armhf" "nosuch" cmake libfoo-dev:armhf nosuch libbar-dev:armhf
check "packages that cannot be installed: exit status 3" test "$rc" -eq 3
check "... each named with apt's reason" test "$(grep '^install-deps: cannot install' <<<"$out")" = \
"install-deps: cannot install libfoo-dev:armhf: libfoo-dev:armhf : Depends: libfoo1:armhf (= 1.0-1) but 1.0-2 is to be installed
install-deps: cannot install nosuch: Unable to locate package nosuch
install-deps: cannot install libbar-dev:armhf: libbar-dev:armhf : Depends: libbar1:armhf (= 1.0-1) but 1.0-2 is to be installed"
check "... and listed in one line" grep -qx 'install-deps: not installed: libfoo-dev:armhf nosuch libbar-dev:armhf' <<<"$out"
check "... while the others are installed" installed cmake:amd64
[[ $fails -eq 0 ]] || echo "$out"
exit $((fails > 0))
