# 32-bit Windows with mingw-w64's win32 thread model: the shipped files. Its runtime links in no
# winpthreads, which imports functions Windows XP lacks (GetTickCount64); it has no std::thread
# or std::mutex, which the shipped files do not use.
set(HX_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
