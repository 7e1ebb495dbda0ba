# The shipped files (HX_SHIPPED, TARGET=FILE) come from a nested build of this source tree with
# the win32 compiler (toolchain-mingw-i686-win32.cmake) in build/shipped. It runs on every
# build of a target that needs one of them, as one step, and is itself incremental; it writes
# into this build's bin/ and runs its build-time tools in this build's Wine prefix. Each TARGET
# is also a target here, so that stand-ins and tests depend on the file by its target's name.
include(ExternalProject)

set(HX_SHIPPED_FILES)
set(hx_shipped_targets)
foreach(entry IN LISTS HX_SHIPPED)
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 target)
  list(GET pair 1 file)
  list(APPEND hx_shipped_targets ${target})
  list(APPEND HX_SHIPPED_FILES ${HX_BIN}/${file})
endforeach()

ExternalProject_Add(hx_shipped
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/shipped
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    --no-warn-unused-cli
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-i686-win32.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DHX_SHIPPED_BUILD=ON
    -DHX_TESTS=OFF
    -DHX_BIN=${HX_BIN}
    -DHX_RIG_DIR=${HX_RIG_DIR}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -- -j2
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${HX_SHIPPED_FILES}
  INSTALL_COMMAND ""
  USES_TERMINAL_CONFIGURE ON
  USES_TERMINAL_BUILD ON)

foreach(target IN LISTS hx_shipped_targets)
  add_custom_target(${target})
  add_dependencies(${target} hx_shipped)
endforeach()
