# Windows x86 (32-bit) with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(STELLO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
