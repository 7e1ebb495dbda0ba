# Project helpers: warnings, GoogleTest under Wine, the rig's fixture.

set(HX_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-cast-function-type)

function(hx_warnings target)
  target_compile_options(${target} PRIVATE ${HX_WARNINGS})
endfunction()

# GoogleTest from Debian's sources, built with the cross compiler. Each folder's tests follow
# its targets after `if(NOT HX_TESTS) return() endif()`.
if(HX_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)
endif()

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

# The project's version from the VERSION file as four numbers, the missing ones 0.
set(hx_version_parts ${PROJECT_VERSION_MAJOR})
foreach(part MINOR PATCH TWEAK)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    list(APPEND hx_version_parts 0)
  else()
    list(APPEND hx_version_parts ${PROJECT_VERSION_${part}})
  endif()
endforeach()
list(JOIN hx_version_parts "." HX_VERSION4)

# hx_version_resource(target FILE name DESCRIPTION text)
# Gives a deliverable its version resource: company, description, original file name and
# HX_VERSION4.
function(hx_version_resource target)
  cmake_parse_arguments(arg "" "FILE;DESCRIPTION" "" ${ARGN})
  list(JOIN hx_version_parts ", " HX_VR_NUMBERS)
  set(HX_VR_TEXT ${HX_VERSION4})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(HX_VR_TYPE VFT_APP)
  else()
    set(HX_VR_TYPE VFT_DLL)
  endif()
  set(HX_VR_FILE ${arg_FILE})
  string(REGEX REPLACE "\\.[^.]*$" "" HX_VR_INTERNAL ${arg_FILE})
  set(HX_VR_DESCRIPTION ${arg_DESCRIPTION})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# hx_manifest(target FILE name NAME assembly-name [MORE file])
# Embeds a program's application manifest (resource type 24, id 1) made from cmake/manifest.in:
# asInvoker, every Windows from Vista to 11, HX_VERSION4 as the assembly version, and MORE's
# elements (a fragment of the manifest) at its end.
function(hx_manifest target)
  cmake_parse_arguments(arg "" "FILE;NAME;MORE" "" ${ARGN})
  set(HX_MANIFEST_FILE ${arg_FILE})
  set(HX_MANIFEST_NAME ${arg_NAME})
  set(HX_MANIFEST_MORE "")
  if(arg_MORE)
    file(READ ${arg_MORE} HX_MANIFEST_MORE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${arg_MORE})
  endif()
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/manifest.in ${manifest} @ONLY)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "1 24 \"${manifest}\"\n" @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  target_sources(${target} PRIVATE ${rc})
endfunction()

# hx_split_debug(target FILE name)
# Ships a deliverable without debug sections: its debug information goes to bin/NAME.debug and
# the file keeps a debug link (name and CRC) to it, where debuggers look. NAME is the shipped
# file's name, which for the component is not the linked library's.
# objcopy writes the time of day into a PE header it rewrites, unless SOURCE_DATE_EPOCH says
# otherwise: 0, no time stamp, as the linker leaves it (--no-insert-timestamp).
find_program(HX_OBJCOPY i686-w64-mingw32-objcopy REQUIRED)
set(HX_OBJCOPY_RUN ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${HX_OBJCOPY})
function(hx_split_debug target)
  cmake_parse_arguments(arg "" "FILE" "" ${ARGN})
  set(debug ${HX_BIN}/${arg_FILE}.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${HX_OBJCOPY_RUN} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${HX_OBJCOPY_RUN} --strip-all $<TARGET_FILE:${target}>
    COMMAND ${HX_OBJCOPY_RUN} --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}>
    BYPRODUCTS ${debug}
    VERBATIM)
endfunction()

# clang-format over the tracked sources: `cmake --build build --target format-check`
# (also run as a test) and `--target format` to rewrite them.
find_program(HX_CLANG_FORMAT clang-format)
if(HX_CLANG_FORMAT AND NOT HX_SHIPPED_BUILD)
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
