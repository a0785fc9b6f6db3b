# In place of the router build system's cmake.mk for packaging/check-recipes: the build folder of
# the CMake configure step, which the check runs itself (Ninja, CMAKE_INSTALL_PREFIX=/usr, only
# the staging folder searched) with the recipe's CMAKE_OPTIONS.
CMAKE_BINARY_DIR:=$(VORN_CHECK_BUILD)
CMAKE_OPTIONS:=
