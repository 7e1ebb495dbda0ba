# 32-bit Windows with mingw-w64's posix thread model (winpthreads, std::thread): the stand-ins,
# tools and tests. The shipped files use toolchain-mingw-i686-win32.cmake.
set(HX_THREAD_MODEL posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
