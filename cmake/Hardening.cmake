# Flags shared by every artefact that ends up inside someone else's process.
set(PAMX_HARDEN_COMPILE
    -Wall -Wextra -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fPIC
    -fno-exceptions -fno-rtti -fno-gnu-unique
    -fvisibility=hidden -fvisibility-inlines-hidden)
set(PAMX_HARDEN_LINK -Wl,-z,relro,-z,now -Wl,--as-needed)

# A PAM module: named exactly <name>.so, exports only what its version script
# lists, binds its own calls to itself, and links through the C driver so that
# no C++ runtime library becomes a dependency of the host process.
function(pamx_module target)
  cmake_parse_arguments(M "" "EXPORTS" "SOURCES;LIBS" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" LINKER_LANGUAGE C
    LINK_DEPENDS ${M_EXPORTS})
  target_compile_options(${target} PRIVATE ${PAMX_HARDEN_COMPILE})
  target_link_options(${target} PRIVATE ${PAMX_HARDEN_LINK}
    -Wl,--no-undefined -Wl,-Bsymbolic-functions
    -Wl,--version-script=${M_EXPORTS})
  target_link_libraries(${target} PRIVATE ${M_LIBS})
endfunction()

# Code that is compiled into a module (position independent, same flags).
function(pamx_objects target)
  add_library(${target} OBJECT ${ARGN})
  target_compile_options(${target} PRIVATE ${PAMX_HARDEN_COMPILE})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()
