#!/usr/bin/env bash
# The recipe check, which builds each router package as a router build does (Ninja, only its
# DEPENDS staged) and checks the recipe against the result: the repository's recipe passes with
# all three packages, and a copy spoiled in one way each fails with the finding that names the
# fault, among them today's faults of the recipes: a compile step that needs make, a configure
# step that needs every program's libraries, a library the feeds lack, DEPENDS that nothing links
# or that are empty on musl, and TLS without the TLS variant of libmosquitto.
set -u
repo=$1 build=$2
prefix=${VORN_ROUTER_PREFIX:-$build/openwrt/prefix}
checker=$repo/packaging/check-recipes
work=$build/recipe-check
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); fi
}

out=$("$checker" --platform "$prefix" --work "$work" 2>&1); rc=$?
echo "$out"
check "the repository's recipe passes" test "$rc" -eq 0
check "one source package of three binary packages" grep -qx "ok   vorn (source package of vorn-mgr vorn-mqtt vorn-web)" <<<"$out"
check "each package built alone and its files checked" \
  test "$(grep -cE '^ok   vorn-(mgr \(4|mqtt \(3|web \([0-9]+) files\)$' <<<"$out")" -eq 3

# One spoiled copy of the recipe per row: sed script (on an init script with init:<service>:) ~~
# the findings the check must print, and nothing else ("|" between several).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cases=(
  # Today's compile step: make in a folder that Ninja generated.
  's|cmake --build $(CMAKE_BINARY_DIR) $(PKG_JOBS)|+$(MAKE) $(PKG_JOBS) -C $(CMAKE_BINARY_DIR)| ~~ vorn-mgr: Build/Compile fails in its Ninja build folder: make: *** No targets specified and no makefile found.  Stop.|vorn-mqtt: Build/Compile fails in its Ninja build folder: make: *** No targets specified and no makefile found.  Stop.|vorn-web: Build/Compile fails in its Ninja build folder: make: *** No targets specified and no makefile found.  Stop.'
  # Today's configure step: every program, each package with only its own DEPENDS.
  '/-DVORN_\(MGR\|MQTT\|WEB\)=/d ~~ vorn-mgr: configure with only its DEPENDS staged fails: Package '"'libmosquitto'"', required by '"'virtual:world'"', not found|vorn-mqtt: configure with only its DEPENDS staged fails: Package '"'libmicrohttpd'"', required by '"'virtual:world'"', not found|vorn-web: configure with only its DEPENDS staged fails: Package '"'libmosquitto'"', required by '"'virtual:world'"', not found'
  # Today's DEPENDS, one fault at a time.
  's/+libmicrohttpd/+libcivetweb/ ~~ vorn-web: +libcivetweb is not a package of the router'"'"'s feeds'
  's/^\(  DEPENDS:=+vorn-mgr +libmosquitto-ssl\)/\1 +libuci/ ~~ vorn-mqtt: +libuci is listed in DEPENDS but nothing of the package links it'
  's/^\(  DEPENDS:=+libjson-c\)/\1 +libpthread/ ~~ vorn-mgr: +libpthread is an empty package on musl (its C library holds it): drop it'
  's/+libmosquitto-ssl/+libmosquitto/ ~~ vorn-mqtt: uses TLS (mosquitto_tls_set) but depends on libmosquitto, not on the TLS variant +libmosquitto-ssl'
  's/^\(  DEPENDS:=+libjson-c\) +libsqlite3/\1/ ~~ vorn-mgr: vorn_mgr links libsqlite3.so.0, which no DEPENDS provides (+libsqlite3)'
  # The source package's fields.
  's/^PKG_LICENSE:=.*/PKG_LICENSE:=Proprietary/ ~~ vorn: PKG_LICENSE '"'Proprietary'"' is not an SPDX licence identifier'
  's/^PKG_LICENSE_FILES:=.*/PKG_LICENSE_FILES:=COPYING/ ~~ vorn: its licence file COPYING is not in the source'
  '/^PKG_MAINTAINER/d ~~ vorn: no PKG_MAINTAINER '"'Name <address>'"''
  '/^PKG_SOURCE/d ~~ vorn: no source the feeds can fetch (PKG_SOURCE_PROTO:=git with PKG_SOURCE_URL and PKG_SOURCE_VERSION, or PKG_SOURCE and PKG_SOURCE_URL)'
  's|^define Build/Compile$|define Build/Prepare\n\tmkdir -p $(PKG_BUILD_DIR)\n\t$(CP) ../../../* $(PKG_BUILD_DIR)/\nendef\n\n&| ~~ vorn: Build/Prepare copies the source from the checkout instead of fetching it'
  # The install step against the install rules.
  '/INSTALL_BIN.*usr\/sbin\/vorn_mgr/d ~~ vorn-mgr: the install rules lay out usr/sbin/vorn_mgr, which the recipe does not ship'
  's|INSTALL_BIN) $(PKG_INSTALL_DIR)/usr/sbin/vorn_mgr|INSTALL_DATA) $(PKG_INSTALL_DIR)/usr/sbin/vorn_mgr| ~~ vorn-mgr: ships the program usr/sbin/vorn_mgr not executable (not with $(INSTALL_BIN))'
  's|$(PKG_INSTALL_DIR)/etc/init.d/vorn_mgr|./files/vorn_mgr.init| ~~ vorn-mgr: ships ./files/vorn_mgr.init, which is not from the install rules ($(PKG_INSTALL_DIR))'
  '/vorn_mgr/s|$(1)/usr/sbin/$|$(1)/usr/bin/| ~~ vorn-mgr: its install step fails: install: cannot create regular file '"'"'$(1)/usr/bin/'"'"': Not a directory'
  '/^\/etc\/config\/gateway$/d ~~ vorn-mgr: ships the configuration file /etc/config/gateway without marking it in Package/vorn-mgr/conffiles'
  's|^/etc/config/vorn_mqtt$|&\n/etc/config/vorn_extra| ~~ vorn-mqtt: marks /etc/config/vorn_extra as a configuration file but does not ship it'
  # The init scripts.
  'init:vorn_mgr:/procd_set_param file/d ~~ vorn-mgr: its init script vorn_mgr does not declare /etc/config/gateway (procd_set_param file): a change of it would not restart the program'
  'init:vorn_web:s/procd_add_reload_trigger vorn_web/procd_add_reload_trigger network/ ~~ vorn-web: its init script vorn_web has no reload trigger on its configuration vorn_web'
  'init:vorn_mqtt:s/procd_set_param respawn .*/procd_set_param respawn 3600 5/ ~~ vorn-mqtt: its init script vorn_mqtt sets no respawn with its three values'
  'init:vorn_mgr:/procd_set_param stderr 1/d ~~ vorn-mgr: its init script vorn_mgr does not send stderr to the log'
  'init:vorn_mgr:/USE_PROCD=1/d ~~ vorn-mgr: its init script vorn_mgr has no USE_PROCD=1'
  'init:vorn_mgr:s/^\tesac$/\tesca/ ~~ vorn-mgr: its init script vorn_mgr is not valid sh'
)
for row in "${cases[@]}"; do
  script=${row%% ~~ *} expected=${row#* ~~ }
  rm -rf "$tmp/vorn"
  cp -r "$repo/packaging/openwrt/vorn" "$tmp/vorn"
  file=Makefile
  if [[ $script == init:* ]]; then
    script=${script#init:}
    file=files/${script%%:*}.init script=${script#*:}
  fi
  sed -i "$script" "$tmp/vorn/$file"
  if cmp -s "$repo/packaging/openwrt/vorn/$file" "$tmp/vorn/$file"; then
    check "spoiling with '$script' changes the recipe" false
    continue
  fi
  out=$("$checker" --platform "$prefix" --work "$work" "$tmp/vorn" 2>&1); rc=$?
  findings=$(grep '^  ' <<<"$out" | sed 's/^  //')
  want=$(tr '|' '\n' <<<"$expected")
  check "fails with: ${expected//|/; }" test "$rc" -eq 1 -a "$findings" = "$want"
  [[ $findings == "$want" ]] || echo "$out"
done
exit $((fails > 0))
