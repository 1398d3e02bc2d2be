# Install-time details of the shipped programs and the Debian package.
# Included from the top level after every target exists.

# Installed programs and libraries find the project's libraries through
# RUNPATHs relative to their own folder, so the tree works under any
# prefix (a DESTDIR, /usr from the package, a private test prefix) without
# LD_LIBRARY_PATH. RUNPATH is not inherited by a library's own
# dependencies, so the libraries carry one as well.
function(korvex_runpath_to_libdir install_dir out)
  file(RELATIVE_PATH relative "/prefix/${install_dir}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  if(relative STREQUAL "")
    set(${out} "$ORIGIN" PARENT_SCOPE)
  else()
    set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
  endif()
endfunction()

korvex_runpath_to_libdir("${CMAKE_INSTALL_LIBEXECDIR}/korvex" agent_runpath)
korvex_runpath_to_libdir("${CMAKE_INSTALL_LIBDIR}" library_runpath)
set_target_properties(sysconfig-dbus network-dbus PROPERTIES INSTALL_RPATH "${agent_runpath}")
set_target_properties(kcommon kservice kcommon_dbus ksysconfig ksigar knetwork
  PROPERTIES INSTALL_RPATH "${library_runpath}")

# cpack -G DEB in the build folder packages everything `cmake --install`
# puts in place, under /usr.
set(CPACK_PACKAGE_NAME "korvex")
set(CPACK_PACKAGE_VENDOR "korvex")
set(CPACK_PACKAGE_CONTACT "korvex developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host-management agents on the D-Bus system bus")
set(CPACK_PACKAGE_DESCRIPTION
  "D-Bus system services that apply puppet manifests and augeas scripts to
the host (org.vaduderuvoziz.Sysconfig) and report and switch its network
interfaces (org.vaduderuvoziz.Network), every call authorized through
PolicyKit; the korvexctl client; and broker-launcher, which starts qpidd
and federates it with peer brokers.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Shared-library dependencies come from dpkg-shlibdeps; the project's own
# libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/src/support;${PROJECT_BINARY_DIR}/src/common;${PROJECT_BINARY_DIR}/src/sysconfig;${PROJECT_BINARY_DIR}/src/network")
# What the agents need at run time besides libraries: the bus, PolicyKit,
# the augeas lenses; puppet and ifupdown for the work itself.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus, polkitd, augeas-lenses")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "puppet, ifupdown")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qpidd, qpid-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/data/debian/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
