# What the project's targets have in common: the warnings every one is
# built with, hidden symbols in every shared library (each exports only
# what its headers mark KX_EXPORT), and where installed ones find the
# project's libraries.

add_library(korvex_warnings INTERFACE)
target_compile_options(korvex_warnings INTERFACE -Wall -Wextra)

# korvex_install(<destination> <target>...)
# Installs programs and libraries with a RUNPATH relative to their own
# folder, so that the tree works under any prefix (a DESTDIR, /usr from the
# package, a private test prefix) without LD_LIBRARY_PATH. RUNPATH is not
# inherited by a library's own dependencies, so the libraries carry one as
# well.
set(korvex_install_kind_EXECUTABLE RUNTIME)
set(korvex_install_kind_SHARED_LIBRARY LIBRARY)
function(korvex_install destination)
  file(RELATIVE_PATH to_libdir "/${destination}" "/${CMAKE_INSTALL_LIBDIR}")
  string(REGEX REPLACE "/$" "" runpath "$ORIGIN/${to_libdir}")
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
    install(TARGETS ${target} ${korvex_install_kind_${type}} DESTINATION ${destination})
  endforeach()
endfunction()

# Gives every compiled target below dir the warnings, and every shared
# library hidden visibility. Called once, after all targets exist, so that
# no folder can forget either.
function(korvex_apply_target_policy dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_link_libraries(${target} PRIVATE korvex_warnings)
    endif()
    if(type STREQUAL "SHARED_LIBRARY")
      set_target_properties(${target} PROPERTIES
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    korvex_apply_target_policy(${subdir})
  endforeach()
endfunction()
