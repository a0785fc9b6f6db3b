# The router's own libubox, libubus, libblobmsg_json and libuci in place of the stand-ins of
# platform/, found where the build is pointed (the router build system's staging folder): the
# targets ubox, ubus, blobmsg_json and libuci name them, so the programs link unchanged against the
# same C API.
foreach(lib ubox ubus blobmsg_json)
  find_library(VORN_ROUTER_LIB_${lib} NAMES ${lib} REQUIRED)
  add_library(${lib} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(${lib} PROPERTIES IMPORTED_LOCATION ${VORN_ROUTER_LIB_${lib}})
endforeach()
find_path(VORN_ROUTER_UBOX_INCLUDE libubox/uloop.h REQUIRED)
find_path(VORN_ROUTER_UBUS_INCLUDE libubus.h REQUIRED)
set_target_properties(ubox PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VORN_ROUTER_UBOX_INCLUDE})
set_target_properties(ubus PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VORN_ROUTER_UBUS_INCLUDE}
                                      INTERFACE_LINK_LIBRARIES ubox)
set_target_properties(blobmsg_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${VORN_ROUTER_UBOX_INCLUDE}
                                              INTERFACE_LINK_LIBRARIES "ubox;PkgConfig::JSONC")
find_library(VORN_ROUTER_LIB_uci NAMES uci REQUIRED)
find_path(VORN_ROUTER_UCI_INCLUDE uci.h REQUIRED)
add_library(libuci UNKNOWN IMPORTED GLOBAL)
set_target_properties(libuci PROPERTIES IMPORTED_LOCATION ${VORN_ROUTER_LIB_uci}
                                        INTERFACE_INCLUDE_DIRECTORIES ${VORN_ROUTER_UCI_INCLUDE}
                                        INTERFACE_LINK_LIBRARIES ubox)
