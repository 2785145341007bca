# Installation: the service, the module author's kit (public headers, a
# pkg-config file and a CMake package), the systemd unit and the demo
# modules. `cmake --install build --prefix P` gives
#   P/sbin/Selvar                      the service; its working directory
#   P/sbin/plugins/*.so                the modules it loads (demo modules)
#   P/include/selvar/                  plugin_interface.h, event_record.h
#   P/lib/pkgconfig/selvar-module.pc   Cflags for the headers
#   P/lib/cmake/SelvarModule/          find_package(SelvarModule): Selvar::module
#   P/lib/systemd/system/selvar.service
#   P/share/doc/Selvar/running-as-a-service.md   the unit's Documentation=
# The unit and the .pc name absolute paths, so they are generated when the
# installation runs, for the prefix it installs to.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(SELVAR_INSTALL_DEMO_MODULES "Install the demo modules into the service's plugins directory" ON)

set(SELVAR_INSTALL_BINDIR ${CMAKE_INSTALL_SBINDIR})
# The service looks for modules in plugins/ beside its executable.
set(SELVAR_INSTALL_PLUGINDIR ${SELVAR_INSTALL_BINDIR}/plugins)
set(SELVAR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/selvar)
set(SELVAR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(SELVAR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/SelvarModule)
# Where systemd looks for units of a package (relative to /usr or /usr/local).
set(SELVAR_INSTALL_SYSTEMDDIR lib/systemd/system)
set(SELVAR_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})

set(SELVAR_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)

# The service and its (possibly empty) module directory.
install(TARGETS Selvar RUNTIME DESTINATION ${SELVAR_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY DESTINATION ${SELVAR_INSTALL_PLUGINDIR} COMPONENT runtime)
if(SELVAR_INSTALL_DEMO_MODULES AND SELVAR_DEMO_MODULE_TARGETS)
  install(TARGETS ${SELVAR_DEMO_MODULE_TARGETS} LIBRARY DESTINATION ${SELVAR_INSTALL_PLUGINDIR} COMPONENT demo)
endif()

# The operator's guide, which the unit names.
install(FILES ${CMAKE_SOURCE_DIR}/docs/running-as-a-service.md DESTINATION ${SELVAR_INSTALL_DOCDIR} COMPONENT runtime)

# The module author's kit.
install(FILES ${CMAKE_SOURCE_DIR}/pluginhost/plugin_interface.h ${CMAKE_SOURCE_DIR}/events/event_record.h
        DESTINATION ${SELVAR_INSTALL_INCLUDEDIR} COMPONENT sdk)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SelvarModuleConfig.cmake.in
  ${SELVAR_GENERATED_DIR}/SelvarModuleConfig.cmake
  INSTALL_DESTINATION ${SELVAR_INSTALL_CMAKEDIR}
  PATH_VARS SELVAR_INSTALL_INCLUDEDIR SELVAR_INSTALL_PLUGINDIR)
write_basic_package_version_file(${SELVAR_GENERATED_DIR}/SelvarModuleConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
  ARCH_INDEPENDENT)
install(FILES ${SELVAR_GENERATED_DIR}/SelvarModuleConfig.cmake ${SELVAR_GENERATED_DIR}/SelvarModuleConfigVersion.cmake
        DESTINATION ${SELVAR_INSTALL_CMAKEDIR} COMPONENT sdk)

# Files naming the installation's absolute paths: generated at install time.
foreach(component sdk runtime)
  install(CODE "
    set(SELVAR_GENERATE_COMPONENT [[${component}]])
    set(SELVAR_SOURCE_DIR [[${CMAKE_SOURCE_DIR}]])
    set(SELVAR_GENERATED_DIR [[${SELVAR_GENERATED_DIR}]])
    set(PROJECT_VERSION [[${PROJECT_VERSION}]])
    set(SELVAR_INSTALL_BINDIR [[${SELVAR_INSTALL_BINDIR}]])
    set(SELVAR_INSTALL_PLUGINDIR [[${SELVAR_INSTALL_PLUGINDIR}]])
    set(SELVAR_INSTALL_INCLUDEDIR [[${SELVAR_INSTALL_INCLUDEDIR}]])
    set(SELVAR_INSTALL_PKGCONFIGDIR [[${SELVAR_INSTALL_PKGCONFIGDIR}]])
    set(SELVAR_INSTALL_SYSTEMDDIR [[${SELVAR_INSTALL_SYSTEMDDIR}]])
    set(SELVAR_INSTALL_DOCDIR [[${SELVAR_INSTALL_DOCDIR}]])
    include([[${CMAKE_CURRENT_LIST_DIR}/install_generated_files.cmake]])
  " COMPONENT ${component})
endforeach()
