# Installation and Debian packages (cpack, DEB generator), one per component:
#   plugin -> voka-plugin: voka.so in the folder a host loads plug-ins from;
#             needs the C++ runtime only
#   tools  -> voka-tools:  the stand-in host and the equipment simulator, for
#             whichever of those programs the build defines; with voka-host,
#             its system service and the service's site file (a conffile)
# Included at the end of the top-level CMakeLists.txt: the programs' targets
# must exist by then.

install(TARGETS voka LIBRARY DESTINATION ${VOKA_PLUGIN_INSTALL_DIR} COMPONENT plugin)
set(VOKA_PACKAGED_COMPONENTS plugin)

set(VOKA_TOOL_TARGETS "")
foreach(tool IN ITEMS voka-host voka-sim)
  if(TARGET ${tool})
    list(APPEND VOKA_TOOL_TARGETS ${tool})
  endif()
endforeach()
if(VOKA_TOOL_TARGETS)
  install(TARGETS ${VOKA_TOOL_TARGETS} RUNTIME DESTINATION bin COMPONENT tools)
  # The bundled scenarios, where voka-host looks for its example site.
  install(DIRECTORY simulator/scenarios/ DESTINATION ${VOKA_DATA_INSTALL_DIR}/simulator/scenarios COMPONENT tools)
  list(APPEND VOKA_PACKAGED_COMPONENTS tools)
endif()
if(TARGET voka-host)
  # The unit where Debian 12's packages put theirs; the site file it runs,
  # the bundled simulator site until the site's own replaces it.
  install(FILES service/voka-host.service DESTINATION /lib/systemd/system COMPONENT tools)
  install(FILES service/site.json DESTINATION /etc/voka COMPONENT tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/service/conffiles)
  # The live page, whose chart library comes from Debian (served from /usr/share/javascript).
  install(DIRECTORY www/ DESTINATION ${VOKA_DATA_INSTALL_DIR}/www COMPONENT tools)
  # The alerting rules for the Prometheus that scrapes voka-host's /metrics.
  install(FILES service/prometheus/voka-alerts.yml DESTINATION ${VOKA_DATA_INSTALL_DIR}/prometheus COMPONENT tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS libjs-chart.js)
endif()

# dpkg's name for the architecture the compiler builds for (armhf, amd64),
# not the build machine's, so a cross build makes packages for its target.
execute_process(
  COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE VOKA_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE arch_result)
if(NOT arch_result EQUAL 0 OR NOT VOKA_DEB_ARCH)
  message(WARNING "dpkg-architecture could not name ${CMAKE_LIBRARY_ARCHITECTURE}; packages take cpack's default")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voka)
set(CPACK_PACKAGE_CONTACT "voka developers <voka-dev@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)  # with the toolchain's own strip
set(CPACK_COMPONENTS_ALL ${VOKA_PACKAGED_COMPONENTS})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version_arch.deb
if(VOKA_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VOKA_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Depends from the objects' needed libraries, through dpkg-shlibdeps; for a
# cross build it finds the target's libraries through multiarch.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME voka-plugin)
# Each component's description starts with its own one-line synopsis.
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "power-system device driver plug-in for the site-monitoring controller
 voka.so polls a telecom power system over a serial line and publishes its AC
 distribution, DC distribution and rectifier data to the host that loads it
 from ${CPACK_PACKAGING_INSTALL_PREFIX}/${VOKA_PLUGIN_INSTALL_DIR}.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME voka-tools)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "stand-in host and equipment simulator for the voka.so plug-in
 A host program that loads and drives the plug-in, and a simulator of the
 power system's answers on a serial line.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS voka-plugin)

include(CPack)
