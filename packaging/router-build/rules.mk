# In place of the router build system's rules.mk for packaging/check-recipes: the names a recipe
# uses, with what the check gives them (VORN_CHECK_* on its command line). Not a build system.
INCLUDE_DIR:=$(TOPDIR)/include
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
CP:=cp -fpR
PKG_JOBS:=-j2
qstrip=$(strip $(subst ",,$(1)))
