# Shared by the package recipes of this feed: where the sources come from and how one program of
# them is built and installed. A recipe sets VORN_TARGET (the CMake target of its program) and
# VORN_COMPONENT (its CMake install component) before including this file.

# The repository this feed lives in: the recipes are packaging/openwrt/<package>/Makefile.
VORN_SOURCE_DIR ?= $(abspath $(CURDIR)/../../..)

# No tests, simulators or benchmarks on the router, and its own bus and event loop libraries; the
# install prefix is the router's root, so the install rules' paths (usr/sbin, etc/config,
# etc/init.d, usr/share) are the router's paths.
VORN_CMAKE_OPTIONS := -DVORN_TESTS=OFF -DVORN_ROUTER_LIBS=ON -DCMAKE_INSTALL_PREFIX=/

define Vorn/Prepare
	mkdir -p $(PKG_BUILD_DIR)
	$(CP) $(wildcard $(addprefix $(VORN_SOURCE_DIR)/,CMakeLists.txt cmake daemon platform agents rootfs packaging)) $(PKG_BUILD_DIR)/
endef

define Vorn/Compile
	+$(MAKE) $(PKG_JOBS) -C $(CMAKE_BINARY_DIR) $(VORN_TARGET)
endef

define Vorn/Install
	cmake --install $(CMAKE_BINARY_DIR) --component $(VORN_COMPONENT) --prefix $(PKG_INSTALL_DIR)
endef
