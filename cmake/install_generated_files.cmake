# Runs inside `cmake --install` (see install.cmake): writes the pkg-config
# file (component sdk) or the systemd unit (component runtime) for the prefix
# being installed to, then installs it. DESTDIR is honoured by file(INSTALL).

# An install directory as an absolute path under the installation's prefix.
function(selvar_installed_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The same, as a pkg-config variable reference where it lies under the prefix.
function(selvar_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

set(_selvar_prefix_tag "")
string(MD5 _selvar_prefix_tag "${CMAKE_INSTALL_PREFIX}")
set(_selvar_out "${SELVAR_GENERATED_DIR}/${_selvar_prefix_tag}")

if(SELVAR_GENERATE_COMPONENT STREQUAL "sdk")
  set(SELVAR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  selvar_pc_path(SELVAR_PC_INCLUDEDIR "${SELVAR_INSTALL_INCLUDEDIR}")
  selvar_pc_path(SELVAR_PC_PLUGINDIR "${SELVAR_INSTALL_PLUGINDIR}")
  configure_file("${SELVAR_SOURCE_DIR}/packaging/selvar-module.pc.in" "${_selvar_out}/selvar-module.pc" @ONLY)
  selvar_installed_path(_selvar_dest "${SELVAR_INSTALL_PKGCONFIGDIR}")
  file(INSTALL DESTINATION "${_selvar_dest}" TYPE FILE FILES "${_selvar_out}/selvar-module.pc")
elseif(SELVAR_GENERATE_COMPONENT STREQUAL "runtime")
  selvar_installed_path(_selvar_bindir "${SELVAR_INSTALL_BINDIR}")
  set(SELVAR_SERVICE_EXECUTABLE "${_selvar_bindir}/Selvar")
  # The service writes core.xml (and the demo modules their files) there.
  set(SELVAR_SERVICE_DIRECTORY "${_selvar_bindir}")
  selvar_installed_path(_selvar_docdir "${SELVAR_INSTALL_DOCDIR}")
  set(SELVAR_SERVICE_DOCUMENT "${_selvar_docdir}/running-as-a-service.md")
  configure_file("${SELVAR_SOURCE_DIR}/packaging/selvar.service.in" "${_selvar_out}/selvar.service" @ONLY)
  selvar_installed_path(_selvar_dest "${SELVAR_INSTALL_SYSTEMDDIR}")
  file(INSTALL DESTINATION "${_selvar_dest}" TYPE FILE FILES "${_selvar_out}/selvar.service")
endif()
