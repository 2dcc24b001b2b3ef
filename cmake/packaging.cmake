# Debian packages of the build (cpack -G DEB in the build folder; the
# script scripts/package.sh configures a build for /usr, makes them and
# checks them). One package per install component:
#   libnorix-fsm1     runtime  libfsm.so.1 and libnorix.so.1
#   libnorix-fsm-dev  dev      headers, norix::host, norix::sanitize and
#                              norix::testkit, the CMake package norix_fsm;
#                              needs the runtime of the same version
#   norix-fsm-tools   tools    norix_client, the example servers, the
#                              service unit and the operating docs
# The versions are the project's; the shared libraries' dependencies come
# from dpkg-shlibdeps.

# The maintainer named in the packages and their changelogs.
set(FSM_PACKAGE_CONTACT "norix FSM developers <norix-fsm@example.org>" CACHE STRING
  "Maintainer of the Debian packages")

# What only the tools package carries: the example servers, the unit in
# the service manager's folder (below the prefix, /usr/lib/systemd/system
# under /usr), and the docs where the unit points (Documentation=).
set(_fsm_tools_doc ${CMAKE_INSTALL_DATADIR}/doc/norix-fsm-tools)
install(TARGETS oven_server sim_devices RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT tools)
install(FILES packaging/norix-fsm@.service DESTINATION lib/systemd/system COMPONENT tools)
install(FILES docs/operating.md docs/server.md docs/guide.md README.md
  DESTINATION ${_fsm_tools_doc} COMPONENT tools)

# Every Debian package carries its copyright file and a changelog in its
# doc folder.
set(_fsm_debian_packages runtime libnorix-fsm1 dev libnorix-fsm-dev tools norix-fsm-tools)
string(TIMESTAMP _fsm_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_fsm_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian)
while(_fsm_debian_packages)
  list(POP_FRONT _fsm_debian_packages _component _package)
  set(FSM_DEBIAN_PACKAGE ${_package})
  configure_file(packaging/changelog.Debian.in ${_fsm_changelog}.${_package} @ONLY)
  add_custom_command(OUTPUT ${_fsm_changelog}.${_package}.gz
    COMMAND gzip -n -9 -c ${_fsm_changelog}.${_package} > ${_fsm_changelog}.${_package}.gz
    DEPENDS ${_fsm_changelog}.${_package} VERBATIM)
  list(APPEND _fsm_changelogs ${_fsm_changelog}.${_package}.gz)
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package}
    COMPONENT ${_component})
  install(FILES ${_fsm_changelog}.${_package}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package}
    RENAME changelog.Debian.gz COMPONENT ${_component})
endwhile()
add_custom_target(fsm_debian_changelogs ALL DEPENDS ${_fsm_changelogs})

set(CPACK_PACKAGE_NAME norix-fsm)
set(CPACK_PACKAGE_VENDOR "norix FSM developers")
set(CPACK_PACKAGE_CONTACT ${FSM_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hierarchical finite-state machines for norix servers")
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The packages' Depends: on each other (the dev and the tools package need
# the runtime of the same version) and, from dpkg-shlibdeps, on the system's
# libraries; our own libraries are found in the build folder.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libnorix-fsm1)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "hierarchical finite-state machines for norix servers - libraries\n\
libfsm hosts hierarchical finite-state machines in a norix server process:\n\
states with actions and guarded transitions, superstates with parallel\n\
flows and history, event and interrupt queues drained by engine threads.\n\
libnorix is the host framework it runs in, with its server runtime.")
# The loader's cache is renewed by trigger (CPack's own postinst and postrm
# call ldconfig as well).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnorix-fsm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# norix::host links the web panel's graph layout by name.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libgraphviz-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "hierarchical finite-state machines for norix servers - development files\n\
The headers, the CMake package norix_fsm (targets norix::norix, norix::fsm,\n\
norix::host, the main of a server program, and norix::testkit, the offline\n\
test kit for an application's own tests).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME norix-fsm-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "hierarchical finite-state machines for norix servers - tools\n\
norix_client, the example servers (oven_server, sim_devices), the service\n\
unit norix-fsm@.service, one instance per configuration, and the\n\
documentation of operating a server.")

include(CPack)
