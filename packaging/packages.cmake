# What each router package ships, as install components named after the packages, laid out as a
# router build installs them (CMAKE_INSTALL_PREFIX=/usr, into a DESTDIR):
#   DESTDIR=DIR cmake --install build [--component vorn-mgr|vorn-mqtt|vorn-web]
# programs in <prefix>/sbin, the page's files in <prefix>/share/vorn_web/www, and in /etc (under
# <prefix>/etc for another prefix than /usr) the settings (config/), init scripts (init.d/) and
# first-boot defaults (uci-defaults/). A program not in this tree gets no rules. Its init script
# and defaults also go into the build's router tree, as a router with the package has them.
set(package_files ${CMAKE_CURRENT_LIST_DIR}/openwrt/vorn/files)
set(etc ${CMAKE_INSTALL_FULL_SYSCONFDIR})

# vorn_package(COMPONENT TARGET SERVICE [CONFIG file name] [DEFAULTS file] [WWW dir]): TARGET in
# sbin, the init script files/SERVICE.init as init.d/SERVICE, CONFIG as config/<name>, DEFAULTS as
# uci-defaults/SERVICE, WWW's files under share/SERVICE/www.
function(vorn_package component target service)
  cmake_parse_arguments(P "" "DEFAULTS;WWW" "CONFIG" ${ARGN})
  if(NOT TARGET ${target})
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT ${component})
  set(init ${package_files}/${service}.init)
  install(PROGRAMS ${init} DESTINATION ${etc}/init.d RENAME ${service} COMPONENT ${component})
  configure_file(${init} ${VORN_ROUTER_ROOT}/etc/init.d/${service} COPYONLY)
  if(P_CONFIG)
    list(GET P_CONFIG 0 file)
    list(GET P_CONFIG 1 name)
    install(FILES ${file} DESTINATION ${etc}/config RENAME ${name} COMPONENT ${component})
  endif()
  if(P_DEFAULTS)
    install(PROGRAMS ${P_DEFAULTS} DESTINATION ${etc}/uci-defaults RENAME ${service} COMPONENT ${component})
    configure_file(${P_DEFAULTS} ${VORN_ROUTER_ROOT}/etc/uci-defaults/${service} COPYONLY)
  endif()
  if(P_WWW)
    install(DIRECTORY ${P_WWW}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/${service}/www COMPONENT ${component})
  endif()
endfunction()

vorn_package(vorn-mgr vorn_mgr vorn_mgr CONFIG ${package_files}/gateway.config gateway
             DEFAULTS ${package_files}/vorn_mgr.defaults)
vorn_package(vorn-mqtt mqtt_agent vorn_mqtt CONFIG ${PROJECT_SOURCE_DIR}/agents/mqtt/files/vorn_mqtt vorn_mqtt)
vorn_package(vorn-web vorn_web vorn_web CONFIG ${PROJECT_SOURCE_DIR}/agents/web/files/vorn_web vorn_web
             WWW ${PROJECT_SOURCE_DIR}/agents/web/www)
