# What each router package ships, as install components named after the packages, at the router's
# paths relative to the install prefix (the router's root):
#   cmake --install build --prefix DIR [--component vorn-mgr|vorn-mqtt|vorn-web]
# A program not in this tree (yet) gets no rules. Its init script also goes into the build's
# router tree, so the router sandbox has /etc/init.d/<program> as a router with the package has.
set(recipes ${CMAKE_CURRENT_LIST_DIR}/openwrt)

# vorn_package(COMPONENT TARGET SERVICE [CONFIG file] [WWW dir]): TARGET at usr/sbin, the init
# script files/SERVICE.init at etc/init.d/SERVICE, CONFIG at etc/config/, WWW's files under
# usr/share/SERVICE/www/.
function(vorn_package component target service)
  cmake_parse_arguments(P "" "CONFIG;WWW" "" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION usr/sbin COMPONENT ${component})
  set(init ${recipes}/${component}/files/${service}.init)
  install(PROGRAMS ${init} DESTINATION etc/init.d RENAME ${service} COMPONENT ${component})
  configure_file(${init} ${VORN_ROUTER_ROOT}/etc/init.d/${service} COPYONLY)
  if(P_CONFIG AND EXISTS ${P_CONFIG})
    install(FILES ${P_CONFIG} DESTINATION etc/config COMPONENT ${component})
  endif()
  if(P_WWW AND IS_DIRECTORY ${P_WWW})
    install(DIRECTORY ${P_WWW}/ DESTINATION usr/share/${service}/www COMPONENT ${component})
  endif()
endfunction()

vorn_package(vorn-mgr vorn_mgr vorn_mgr CONFIG ${PROJECT_SOURCE_DIR}/rootfs/etc/config/gateway)
vorn_package(vorn-mqtt mqtt_agent vorn_mqtt CONFIG ${PROJECT_SOURCE_DIR}/agents/mqtt/files/vorn_mqtt)
vorn_package(vorn-web vorn_web vorn_web CONFIG ${PROJECT_SOURCE_DIR}/agents/web/files/vorn_web
             WWW ${PROJECT_SOURCE_DIR}/agents/web/www)
