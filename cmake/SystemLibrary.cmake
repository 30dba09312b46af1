# pamx_system_library(<NAME> PC <module> HEADER <file> LIBRARY <name>)
# The imported target PkgConfig::<NAME> for a library of the system: from
# its pkg-config file where there is one, otherwise from its header and its
# library on the compiler's search paths, since older Linux-PAM releases
# install no pam.pc (EL8's pam-devel has none).  The rest of the build links
# the one target name either way.
function(pamx_system_library name)
  cmake_parse_arguments(L "" "PC;HEADER;LIBRARY" "" ${ARGN})
  pkg_check_modules(${name} QUIET IMPORTED_TARGET ${L_PC})
  if(${name}_FOUND)
    message(STATUS "${L_PC}: from pkg-config, version ${${name}_VERSION}")
    return()
  endif()
  find_path(${name}_INCLUDE_DIR ${L_HEADER})
  find_library(${name}_LIBRARY ${L_LIBRARY})
  if(NOT ${name}_INCLUDE_DIR OR NOT ${name}_LIBRARY)
    message(FATAL_ERROR "${L_PC}: no pkg-config file, and ${L_HEADER} or lib${L_LIBRARY} "
      "is missing (${${name}_INCLUDE_DIR}, ${${name}_LIBRARY})")
  endif()
  add_library(PkgConfig::${name} INTERFACE IMPORTED)
  set_target_properties(PkgConfig::${name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${${name}_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES ${${name}_LIBRARY})
  message(STATUS "${L_PC}: no pkg-config file, so ${${name}_LIBRARY} "
    "with ${${name}_INCLUDE_DIR}/${L_HEADER}")
endfunction()
