# Run by `cmake --install` (also under debian/rules): writes the bus activation files and
# systemd units with the install prefix in effect at install time, which
# `--prefix` may differ from the one the build was configured with.
# Set by the caller: KORVEX_DATA_SOURCE, KORVEX_STAGE_ROOT,
# KORVEX_LIBEXECDIR, KORVEX_SBINDIR, KORVEX_DATADIR, KORVEX_DOCDIR,
# KORVEX_SYSTEMD_UNIT_DIR (may be empty).

function(korvex_full_path dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

korvex_full_path("${KORVEX_LIBEXECDIR}/korvex" KORVEX_AGENT_DIR)
korvex_full_path("${KORVEX_SBINDIR}" KORVEX_SBIN_DIR)
korvex_full_path("${KORVEX_DOCDIR}" KORVEX_DOC_DIR)
korvex_full_path("${KORVEX_DATADIR}" data_dir)

# One staging folder per destination, so that installs into different
# places may run at the same time.
string(SHA1 stage_name "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(stage "${KORVEX_STAGE_ROOT}/${stage_name}")
file(REMOVE_RECURSE "${stage}")

set(services org.vaduderuvoziz.Sysconfig.service org.vaduderuvoziz.Network.service)
set(units korvex-sysconfig.service korvex-network.service korvex-broker.service)
set(staged_services "")
set(staged_units "")
foreach(name IN LISTS services)
  configure_file("${KORVEX_DATA_SOURCE}/dbus-services/${name}.in" "${stage}/${name}" @ONLY)
  list(APPEND staged_services "${stage}/${name}")
endforeach()
foreach(name IN LISTS units)
  configure_file("${KORVEX_DATA_SOURCE}/systemd/${name}.in" "${stage}/${name}" @ONLY)
  list(APPEND staged_units "${stage}/${name}")
endforeach()

file(INSTALL DESTINATION "${data_dir}/dbus-1/system-services" TYPE FILE FILES ${staged_services})
set(unit_dir "${KORVEX_SYSTEMD_UNIT_DIR}")
if(unit_dir STREQUAL "")
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES ${staged_units})
file(REMOVE_RECURSE "${stage}")
