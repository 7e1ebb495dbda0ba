# The shipped files (HX_SHIPPED, TARGET=FILE) come from a nested build of this source tree with
# the win32 compiler (toolchain-mingw-i686-win32.cmake) in build/shipped, which writes into this
# build's bin/ and runs its build-time tools in this build's Wine prefix. Each TARGET is also a
# target here that builds just that file there, incrementally, so that ./run demo builds only
# the plug-ins and stand-ins and tests depend on a file by its target's name.
include(ExternalProject)

set(hx_shipped_dir ${CMAKE_BINARY_DIR}/shipped)
ExternalProject_Add(hx_shipped
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${hx_shipped_dir}
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS
    --no-warn-unused-cli
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-i686-win32.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DHX_SHIPPED_BUILD=ON
    -DHX_TESTS=OFF
    -DHX_BIN=${HX_BIN}
    -DHX_EMULATOR=${CMAKE_BINARY_DIR}/wine-run
  BUILD_COMMAND ""
  INSTALL_COMMAND ""
  USES_TERMINAL_CONFIGURE ON)

set(HX_SHIPPED_FILES)
foreach(entry IN LISTS HX_SHIPPED)
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 target)
  list(GET pair 1 file)
  list(APPEND HX_SHIPPED_FILES ${HX_BIN}/${file})
  # USES_TERMINAL puts it in Ninja's console pool, which runs one job at a time: two builds in
  # build/shipped at once would spoil each other's logs.
  add_custom_target(${target} ALL
    COMMAND ${CMAKE_COMMAND} --build ${hx_shipped_dir} --target ${target} -- -j2
    BYPRODUCTS ${HX_BIN}/${file}
    COMMENT "${file}, with the win32 compiler (build/shipped)"
    USES_TERMINAL
    VERBATIM)
  add_dependencies(${target} hx_shipped)
endforeach()
