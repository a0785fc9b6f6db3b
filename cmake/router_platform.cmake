# The router's own platform in place of the stand-ins of platform/ (VORN_ROUTER_PLATFORM): its
# libubox, libblobmsg_json, libubus and libuci, found where CMake finds libraries (CMAKE_PREFIX_PATH,
# or a router build's staging folder), become the targets ubox, blobmsg_json, ubus and libuci, so
# every program links unchanged against the same C API.
#
# When the router's programs are found beside the libraries (the prefix tools/build-router-platform
# fills), the build's router tree gets them at their router paths with the libraries in /usr/lib:
# uci, ubusd, ubus, procd, logd, logread and jsonfilter. The router sandbox then runs the real
# platform, and the tests can run against it (VORN_ROUTER_PROGRAMS).

# The router platform library NAME (libNAME.so) as the imported target TARGET, with its headers
# (HEADER, found in the include folder beside it) and what it links (the rest).
function(vorn_router_library target name header)
  find_library(VORN_ROUTER_LIB_${name} NAMES ${name} ${VORN_ROUTER_FIND_MODE})
  find_path(VORN_ROUTER_INCLUDE_${name} ${header} ${VORN_ROUTER_FIND_MODE})
  if(NOT VORN_ROUTER_LIB_${name} OR NOT VORN_ROUTER_INCLUDE_${name})
    return()
  endif()
  add_library(${target} SHARED IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${VORN_ROUTER_LIB_${name}}
    INTERFACE_INCLUDE_DIRECTORIES ${VORN_ROUTER_INCLUDE_${name}} INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

set(VORN_ROUTER_FIND_MODE REQUIRED)
vorn_router_library(ubox ubox libubox/uloop.h)
vorn_router_library(blobmsg_json blobmsg_json libubox/blobmsg_json.h ubox PkgConfig::JSONC)
vorn_router_library(ubus ubus libubus.h ubox)
# libuci only for the programs that link it: a package that does not need it has it not staged.
set(VORN_ROUTER_FIND_MODE "")
vorn_router_library(libuci uci uci.h ubox)

# The platform's prefix, from where libubox was found; its programs are looked for there only.
get_filename_component(VORN_ROUTER_PREFIX ${VORN_ROUTER_LIB_ubox} DIRECTORY)
get_filename_component(VORN_ROUTER_PREFIX ${VORN_ROUTER_PREFIX} DIRECTORY)
set(VORN_ROUTER_PREFIX ${VORN_ROUTER_PREFIX} CACHE INTERNAL "Where the router's platform was found")
set(VORN_ROUTER_PROGRAMS ON)
foreach(program bin/uci sbin/ubusd bin/ubus sbin/procd sbin/logd sbin/logread bin/jsonfilter lib/libsetlbf.so)
  if(NOT EXISTS ${VORN_ROUTER_PREFIX}/${program})
    set(VORN_ROUTER_PROGRAMS OFF)
  endif()
endforeach()
if(VORN_TESTS AND NOT VORN_ROUTER_PROGRAMS)
  message(FATAL_ERROR "The tests run against the router's programs, which are not beside its libraries in "
    "${VORN_ROUTER_PREFIX}: build them all with tools/build-router-platform (make build-router-platform), "
    "or configure with -DVORN_TESTS=OFF")
endif()

# The real program PATH (relative to the prefix, such as sbin/ubusd) at router path DEST, built as
# target NAME so that tests depend on it as they do on a stand-in.
function(vorn_platform_program name path dest)
  if(NOT VORN_ROUTER_PROGRAMS)
    return()
  endif()
  get_filename_component(file ${path} NAME)
  if(ARGN)
    set(file ${ARGN})
  endif()
  add_custom_target(${name} ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VORN_ROUTER_ROOT}/${dest}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VORN_ROUTER_PREFIX}/${path} ${VORN_ROUTER_ROOT}/${dest}/${file}
    VERBATIM)
endfunction()

if(VORN_ROUTER_PROGRAMS)
  # The libraries join the router tree at /usr/lib, where the real programs find them.
  foreach(lib ubox blobmsg_json ubus uci json_script)
    file(GLOB files ${VORN_ROUTER_PREFIX}/lib/lib${lib}.so*)
    file(COPY ${files} DESTINATION ${VORN_ROUTER_ROOT}/usr/lib)
  endforeach()
  vorn_platform_program(uci bin/uci usr/bin)
  vorn_platform_program(ubusd sbin/ubusd usr/sbin)
  vorn_platform_program(ubus_cli bin/ubus usr/bin)
endif()
