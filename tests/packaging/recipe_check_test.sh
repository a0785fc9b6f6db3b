#!/usr/bin/env bash
# The static check of the router package recipes: the recipes of the repository pass it, and a
# recipe spoiled in one way each fails it with the finding that names the fault.
set -u
repo=$1 build=$2
checker=$repo/packaging/check-recipes
fails=0
check() { # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fails=$((fails + 1)); fi
}

out=$("$checker" "$build" 2>&1); rc=$?
echo "$out"
check "the repository's recipes pass" test "$rc" -eq 0
check "vorn-mgr is checked against the install rules, file by file" grep -qx "ok   vorn-mgr (3 files)" <<<"$out"
for package in vorn-mqtt vorn-web; do
  check "$package: checked in full, or its program named as not in the tree yet" \
    grep -qE "^ok   $package \(([0-9]+ files|its program [a-z_]+ is not in this tree yet: fields checked, files not)\)\$" <<<"$out"
done

# One spoiled copy of the vorn-mgr recipe per row: sed script (on its init script with init:) ~~
# finding the check must print.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cases=(
  '/INSTALL_BIN.*usr\/sbin\/vorn_mgr/d ~~ the install rules lay out usr/sbin/vorn_mgr, which the recipe does not ship'
  '/INSTALL_CONF.*gateway/d ~~ the install rules lay out etc/config/gateway, which the recipe does not ship'
  '/INSTALL_BIN.*init.d/d ~~ ships no init script'
  's|^\(\t$(INSTALL_CONF).*\)$|&\n\t$(INSTALL_DATA) $(PKG_INSTALL_DIR)/usr/share/vorn/units.json $(1)/usr/share/vorn/| ~~ ships usr/share/vorn/units.json, which the install rules do not lay out'
  's|$(PKG_INSTALL_DIR)/etc/init.d/vorn_mgr|./files/vorn_mgr.init| ~~ ships ./files/vorn_mgr.init, which is not from the install rules ($(PKG_INSTALL_DIR))'
  's|$(1)/usr/sbin/vorn_mgr$|$(1)/usr/bin/| ~~ ships usr/sbin/vorn_mgr to $(1)/usr/bin/, not to its own path'
  's|INSTALL_BIN) $(PKG_INSTALL_DIR)/usr/sbin|INSTALL_DATA) $(PKG_INSTALL_DIR)/usr/sbin| ~~ ships the program usr/sbin/vorn_mgr without $(INSTALL_BIN)'
  '/^\/etc\/config\/gateway$/d ~~ ships the configuration file /etc/config/gateway without marking it in Package/vorn-mgr/conffiles'
  's|^/etc/config/gateway$|&\n/etc/config/vorn_extra| ~~ marks /etc/config/vorn_extra as a configuration file but does not ship it'
  '/^PKG_LICENSE/d ~~ no PKG_LICENSE'
  's/^PKG_RELEASE:=.*/PKG_RELEASE:=/ ~~ no PKG_RELEASE'
  's/^PKG_NAME:=.*/PKG_NAME:=vorn-manager/ ~~ PKG_NAME is not the folder'"'"'s name '"'"'vorn-mgr'"'"''
  '/cmake.mk/d ~~ does not include $(INCLUDE_DIR)/cmake.mk'
  '/DEPENDS:=/d ~~ Package/vorn-mgr has no DEPENDS'
  's/^define Build\/Compile$/define Build\/Configure/ ~~ no Build/Compile step'
  '/BuildPackage/d ~~ no $(eval $(call BuildPackage,vorn-mgr))'
  's/^VORN_COMPONENT:=.*/VORN_COMPONENT:=vorn-nothing/ ~~ the install component vorn-nothing lays out nothing'
  'init:/USE_PROCD=1/d ~~ vorn_mgr.init has no USE_PROCD=1'
  'init:s/procd_set_param respawn .*/procd_set_param respawn 3600 5/ ~~ vorn_mgr.init sets no respawn with its three values'
  'init:/procd_set_param stderr 1/d ~~ vorn_mgr.init does not send stderr to the log'
  'init:s/procd_add_reload_trigger gateway/procd_add_reload_trigger network/ ~~ vorn_mgr.init has no reload trigger on its configuration gateway'
  'init:s/^\tprocd_close_instance$/&\n\tprocd_open_instance/ ~~ vorn_mgr.init does not open exactly one instance'
  'init:s/^\tesac$/\tesca/ ~~ vorn_mgr.init is not valid sh'
)
for row in "${cases[@]}"; do
  script=${row%% ~~ *} finding=${row#* ~~ }
  rm -rf "$work/vorn-mgr"
  cp -r "$repo/packaging/openwrt/vorn-mgr" "$work/vorn-mgr"
  file=Makefile
  [[ $script == init:* ]] && script=${script#init:} file=files/vorn_mgr.init
  sed -i "$script" "$work/vorn-mgr/$file"
  if cmp -s "$repo/packaging/openwrt/vorn-mgr/$file" "$work/vorn-mgr/$file"; then
    check "spoiling with '$script' changes the recipe" false
    continue
  fi
  out=$("$checker" "$build" "$work/vorn-mgr" 2>&1); rc=$?
  check "fails: $finding" test "$rc" -eq 1 -a "$(grep -c '^FAIL vorn-mgr' <<<"$out")" -eq 1
  grep -qxF "  vorn-mgr: $finding" <<<"$out" || { echo "$out"; check "says: $finding" false; }
done

# A package whose program is not in the tree is checked for its fields only, and says so.
cp -r "$repo/packaging/openwrt/vorn-mgr" "$work/vorn-later"
sed -i 's/vorn-mgr/vorn-later/g; s/^VORN_TARGET:=.*/VORN_TARGET:=vorn_later/' "$work/vorn-later/Makefile"
out=$("$checker" "$build" "$work/vorn-later" 2>&1); rc=$?
check "a program not in the tree yet: passes with one line saying so" test "$rc" -eq 0 -a \
  "$out" = "ok   vorn-later (its program vorn_later is not in this tree yet: fields checked, files not)"
sed -i '/^PKG_VERSION/d' "$work/vorn-later/Makefile"
check "... but its fields are still checked" test "$("$checker" "$build" "$work/vorn-later" | head -n 1)" = "  vorn-later: no PKG_VERSION"
exit $((fails > 0))
