# Install-time details of the shipped programs. The Debian package is
# built from debian/ (dpkg-buildpackage) on top of `cmake --install`.
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
