# In place of the router build system's package.mk for packaging/check-recipes: BuildPackage
# records each binary package with its TITLE and DEPENDS, and the target vorn-check writes what
# the check runs and compares into $(VORN_CHECK_OUT):
#   fields          PKG_* of the source package, one NAME=value a line
#   packages        the binary packages, one a line
#   <package>.depends, .title, .conffiles, .install (its install step, run into $(VORN_CHECK_ROOT))
#   compile, install   the Build/Compile and Build/Install steps
#   cmake-options   CMAKE_OPTIONS
PKG_BUILD_DIR:=$(VORN_CHECK_BUILD)
PKG_INSTALL_DIR:=$(VORN_CHECK_INSTALL)

define BuildPackage
  TITLE:=
  DEPENDS:=
  $$(eval $$(Package/$(1)))
  VORN_PACKAGES += $(1)
  VORN_TITLE_$(1) := $$(TITLE)
  VORN_DEPENDS_$(1) := $$(DEPENDS)
endef

VORN_FIELDS := PKG_NAME PKG_VERSION PKG_RELEASE PKG_LICENSE PKG_LICENSE_FILES PKG_MAINTAINER PKG_BUILD_DEPENDS \
	PKG_SOURCE_PROTO PKG_SOURCE_URL PKG_SOURCE_VERSION PKG_SOURCE PKG_MIRROR_HASH PKG_HASH

.PHONY: vorn-check
vorn-check:
	$(file >$(VORN_CHECK_OUT)/fields,$(foreach field,$(VORN_FIELDS),$(field)=$($(field))$(newline)))
	$(file >$(VORN_CHECK_OUT)/packages,$(foreach package,$(VORN_PACKAGES),$(package)$(newline)))
	$(foreach package,$(VORN_PACKAGES),\
	  $(file >$(VORN_CHECK_OUT)/$(package).depends,$(VORN_DEPENDS_$(package)))\
	  $(file >$(VORN_CHECK_OUT)/$(package).title,$(VORN_TITLE_$(package)))\
	  $(file >$(VORN_CHECK_OUT)/$(package).conffiles,$(Package/$(package)/conffiles))\
	  $(file >$(VORN_CHECK_OUT)/$(package).install,$(call Package/$(package)/install,$(VORN_CHECK_ROOT))))
	$(file >$(VORN_CHECK_OUT)/compile,$(call Build/Compile))
	$(file >$(VORN_CHECK_OUT)/install,$(call Build/Install))
	$(file >$(VORN_CHECK_OUT)/cmake-options,$(CMAKE_OPTIONS))
	@:

define newline


endef
