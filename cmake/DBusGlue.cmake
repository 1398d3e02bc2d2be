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

# korvex_object_xml(<output> <first.xml> <further.xml>...)
#
# One description of an object that serves several interfaces, each kept in
# a file of its own (and installed under its interface name): the interfaces
# of the further files are put into the first file's node, written to
# <output> in the binary folder, for korvex_dbus_glue.
function(korvex_object_xml output first)
  file(READ "${first}" object_xml)
  foreach(further IN LISTS ARGN)
    file(READ "${further}" further_xml)
    string(REGEX MATCH "  <interface.*</interface>\n" interface "${further_xml}")
    string(REPLACE "</node>" "${interface}</node>" object_xml "${object_xml}")
  endforeach()
  file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${output}" CONTENT "${object_xml}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${first}" ${ARGN})
endfunction()
