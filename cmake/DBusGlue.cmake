# korvex_dbus_glue(<target> <xml> <handlers-header>)
#
# Runs dbus-binding-tool on the interface description and compiles its
# output (the object info and the korvex marshallers) into <target>. The
# handlers header declares the C symbols the object info points at.
function(korvex_dbus_glue target xml handlers_header)
  get_filename_component(xml_abs "${xml}" ABSOLUTE)
  get_filename_component(hdr_abs "${handlers_header}" ABSOLUTE)
  get_filename_component(stem "${xml}" NAME_WE)
  set(glue_h "${CMAKE_CURRENT_BINARY_DIR}/${stem}-glue.h")
  set(glue_c "${CMAKE_CURRENT_BINARY_DIR}/${stem}-glue.c")
  add_custom_command(
    OUTPUT "${glue_h}"
    COMMAND dbus-binding-tool --mode=glib-server --prefix=korvex
            "--output=${glue_h}" "${xml_abs}"
    DEPENDS "${xml_abs}"
    COMMENT "Generating dbus-glib server glue from ${stem}.xml"
    VERBATIM)
  file(GENERATE OUTPUT "${glue_c}" CONTENT
"/* Generated at build time: the object info and marshallers of ${stem}.xml. */
#include <dbus/dbus-glib.h>
#include \"${hdr_abs}\"
#include \"${glue_h}\"
")
  set_source_files_properties("${glue_c}" PROPERTIES OBJECT_DEPENDS "${glue_h}")
  target_sources(${target} PRIVATE "${glue_c}" "${glue_h}")
  target_link_libraries(${target} PRIVATE PkgConfig::DBUSGLIB)
endfunction()
