# The one build recipe: flags and functions for the modules, the code
# compiled into them, their tests and their benchmarks.

# Flags shared by every artefact that ends up inside someone else's process.
set(PAMX_HARDEN_COMPILE
    -Wall -Wextra -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fPIC
    -fno-exceptions -fno-rtti -fno-gnu-unique
    -fvisibility=hidden -fvisibility-inlines-hidden)
set(PAMX_HARDEN_LINK -Wl,-z,relro,-z,now -Wl,--as-needed)

# The CI build's stricter warnings, on everything the project compiles.
if(PAMX_WERROR)
  add_compile_options(-Wall -Wextra -Wformat=2 -Wshadow -Wmissing-declarations -Werror)
endif()

if(PAMX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(PAMX_VALGRIND)
  # gtest_discover_tests runs listing and tests through the emulator.
  set(CMAKE_CROSSCOMPILING_EMULATOR valgrind --quiet --vgdb=no --error-exitcode=99 --leak-check=full
      --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=no)
endif()

# A PAM module: named exactly <name>.so, exports only what its version script
# lists, binds its own calls to itself, and links through the C driver so that
# no C++ runtime library becomes a dependency of the host process.
function(pamx_module target)
  cmake_parse_arguments(M "" "EXPORTS" "SOURCES;LIBS" ${ARGN})
  add_library(${target} MODULE ${M_SOURCES} ${PROJECT_SOURCE_DIR}/module_support/module_log.cpp)
  set_target_properties(${target} PROPERTIES PREFIX "" LINKER_LANGUAGE C
    LINK_DEPENDS ${M_EXPORTS})
  target_compile_options(${target} PRIVATE ${PAMX_HARDEN_COMPILE})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/module_support)
  target_link_options(${target} PRIVATE ${PAMX_HARDEN_LINK}
    -Wl,--no-undefined -Wl,-Bsymbolic-functions
    -Wl,--version-script=${M_EXPORTS})
  target_link_libraries(${target} PRIVATE ${M_LIBS})
endfunction()

# A program for administrators (vesnar-pam-check): the modules' flags, the
# modules' own code compiled in rather than loaded, and linked through the C
# driver like a module, so that it needs no C++ runtime library either.
function(pamx_program target)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${P_SOURCES})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${target} PRIVATE ${PAMX_HARDEN_COMPILE})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/module_support)
  target_link_options(${target} PRIVATE ${PAMX_HARDEN_LINK} -pie)
  target_link_libraries(${target} PRIVATE ${P_LIBS})
endfunction()

# Code that is compiled into a module (position independent, same flags).
function(pamx_objects target)
  add_library(${target} OBJECT ${ARGN})
  target_compile_options(${target} PRIVATE ${PAMX_HARDEN_COMPILE})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/module_support)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# What a test or benchmark program needs of a module and of the stand-in
# daemon: built first, the module's headers, the module linked for direct
# calls (link_module), the daemon's path as BRUD_DAEMON_PATH (daemon).
function(pamx_uses name module link_module daemon)
  if(module)
    add_dependencies(${name} ${module})
    target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:${module},SOURCE_DIR>)
  endif()
  if(link_module)
    target_link_libraries(${name} PRIVATE "-Wl,--no-as-needed,$<TARGET_FILE:${module}>")
  endif()
  if(daemon)
    add_dependencies(${name} brud_daemon)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/platform/brud_daemon)
    target_compile_definitions(${name} PRIVATE BRUD_DAEMON_PATH="$<TARGET_FILE:brud_daemon>")
  endif()
endfunction()

# The tests that run the modules inside Debian's real PAM hosts (label
# services; test_support/service_host.h). Not in the sanitizer and valgrind
# builds, whose instrumentation would not reach into the hosts.
set(PAMX_SERVICE_TESTS OFF)
if(PAMX_TESTS AND NOT PAMX_SANITIZE AND NOT PAMX_VALGRIND)
  set(PAMX_SERVICE_TESTS ON)
endif()
set(PAMX_HOST_PACKAGES ${PROJECT_BINARY_DIR}/host-packages)

# pamx_test(name SOURCES ... [MODULE m [LINK_MODULE]] [DAEMON] [SERVICE]
#           [LIBS ...] [LABELS ...] [TIMEOUT s] [ENVIRONMENT VAR=value ...])
# A GoogleTest program that runs every test case in its own sandbox. MODULE
# builds the module first (every test knows each module's path as
# PAM_<NAME>_SO); LINK_MODULE links it for direct calls, as an outside
# caller would; DAEMON builds the stand-in daemon (BRUD_DAEMON_PATH);
# SERVICE runs it against the real PAM hosts, and defines nothing in builds that
# run no such tests.
function(pamx_test name)
  cmake_parse_arguments(T "LINK_MODULE;DAEMON;SERVICE" "MODULE;TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  if(T_SERVICE)
    if(NOT PAMX_SERVICE_TESTS)
      return()
    endif()
    list(APPEND T_LIBS pamx_service_support)
    list(APPEND T_LABELS services)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE pamx_test_support ${T_LIBS} ${CMAKE_DL_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/module_support)
  target_compile_definitions(${name} PRIVATE
    PAM_BRUD_SO="$<TARGET_FILE:pam_brud>"
    PAM_TAMLO_SO="$<TARGET_FILE:pam_tamlo>"
    PAM_SUQVO_SO="$<TARGET_FILE:pam_suqvo>")
  pamx_uses(${name} "${T_MODULE}" ${T_LINK_MODULE} ${T_DAEMON})
  # Exported so that modules bind to the capturing syslog functions.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT})
  # Lists given through PROPERTIES lose all but their first item on the way
  # through the discovery script, so labels and environment are set by an
  # include file of our own once ctest knows the test cases.
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  set(props "")
  if(T_LABELS)
    string(APPEND props " LABELS \"${T_LABELS}\"")
  endif()
  if(T_ENVIRONMENT)
    string(APPEND props " ENVIRONMENT \"${T_ENVIRONMENT}\"")
  endif()
  if(T_SERVICE)
    string(APPEND props " FIXTURES_REQUIRED host_packages")
  endif()
  if(props)
    file(GENERATE OUTPUT "${props_file}" CONTENT
      "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES${props})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
  endif()
endfunction()

# pamx_benchmark(name SOURCES ... [MODULE m [LINK_MODULE]] [DAEMON] [SANDBOX]
#                [LIBS ...]): a Google Benchmark program, built by the normal
# build and run by hand (never by CI); SANDBOX gives it the tests' sandbox.
function(pamx_benchmark name)
  cmake_parse_arguments(B "LINK_MODULE;DAEMON;SANDBOX" "MODULE" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES} ${B_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test_support
    ${PROJECT_SOURCE_DIR}/module_support)
  target_link_libraries(${name} PRIVATE benchmark::benchmark ${B_LIBS})
  if(B_SANDBOX)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/test_support/sandbox.cpp)
  endif()
  pamx_uses(${name} "${B_MODULE}" ${B_LINK_MODULE} ${B_DAEMON})
  if(B_MODULE)
    string(TOUPPER ${B_MODULE} upper)
    target_compile_definitions(${name} PRIVATE ${upper}_SO="$<TARGET_FILE:${B_MODULE}>")
  endif()
endfunction()
