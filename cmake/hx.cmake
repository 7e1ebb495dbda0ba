# Project helpers: warnings, GoogleTest under Wine, the rig's fixture.

set(HX_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-cast-function-type)

function(hx_warnings target)
  target_compile_options(${target} PRIVATE ${HX_WARNINGS})
endfunction()

# GoogleTest from Debian's sources, built with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Xvfb, wineserver and the prefix come up before the first test and go down after the last.
# The stand-ins go in place at start: the QuickTime runtime into the system folder, the
# encoder's install location into the registry.
function(hx_rig_fixture)
  add_test(NAME rig.start COMMAND ${HX_RIG} --dir ${HX_RIG_DIR} start
    --system $<TARGET_FILE:standin_quicktime>
    --run $<TARGET_FILE:standin_encoder> --register)
  add_test(NAME rig.stop COMMAND ${HX_RIG} --dir ${HX_RIG_DIR} stop)
  hx_timeout(start_timeout 120)
  set_tests_properties(rig.start PROPERTIES FIXTURES_SETUP wine TIMEOUT ${start_timeout})
  set_tests_properties(rig.stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()

# Where the kernel runs no 32-bit programs, Wine runs through qemu (./run setup) and every
# Windows program is several times slower: the tests' time limits stretch with it.
if(EXISTS /proc/sys/fs/binfmt_misc/qemu-i386)
  set(HX_TIMEOUT_SCALE 5)
else()
  set(HX_TIMEOUT_SCALE 1)
endif()

# A test's time limit in seconds, stretched as above: hx_timeout(out seconds).
function(hx_timeout out seconds)
  math(EXPR scaled "${seconds} * ${HX_TIMEOUT_SCALE}")
  set(${out} ${scaled} PARENT_SCOPE)
endfunction()

# hx_add_gtest(target SOURCES ... [LIBS ...] [LOCK name] [TIMEOUT seconds])
# A GoogleTest program whose cases run one by one under Wine, inside the rig.
# LOCK serialises programs that use fixed object names, registry keys or system files.
# TIMEOUT bounds each case (60 seconds unless given).
function(hx_add_gtest target)
  cmake_parse_arguments(arg "" "LOCK;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 60)
  endif()
  hx_timeout(arg_TIMEOUT ${arg_TIMEOUT})
  add_executable(${target} ${arg_SOURCES})
  hx_warnings(${target})
  target_link_libraries(${target} PRIVATE ${arg_LIBS} GTest::gtest)
  set(props FIXTURES_REQUIRED wine TIMEOUT ${arg_TIMEOUT})
  if(arg_LOCK)
    list(APPEND props RESOURCE_LOCK ${arg_LOCK})
  endif()
  gtest_discover_tests(${target}
    TEST_PREFIX "${target}."
    DISCOVERY_TIMEOUT 600
    PROPERTIES ${props})
endfunction()

# clang-format over the tracked sources: `cmake --build build --target format-check`
# (also run as a test) and `--target format` to rewrite them.
find_program(HX_CLANG_FORMAT clang-format)
if(HX_CLANG_FORMAT)
  set(hx_format_files "git -C ${CMAKE_SOURCE_DIR} ls-files -co --exclude-standard -- '*.cpp' '*.h'")
  add_custom_target(format-check
    COMMAND sh -c "${hx_format_files} | (cd ${CMAKE_SOURCE_DIR} && xargs -r ${HX_CLANG_FORMAT} --dry-run -Werror)"
    VERBATIM)
  add_custom_target(format
    COMMAND sh -c "${hx_format_files} | (cd ${CMAKE_SOURCE_DIR} && xargs -r ${HX_CLANG_FORMAT} -i)"
    VERBATIM)
  add_test(NAME format-check
    COMMAND sh -c "${hx_format_files} | (cd ${CMAKE_SOURCE_DIR} && xargs -r ${HX_CLANG_FORMAT} --dry-run -Werror)")
endif()
