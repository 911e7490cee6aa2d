# Cross-builds ZPX.dll and its programs for 64-bit Windows with Debian's mingw-w64 (posix threads:
# std::thread and std::mutex need them). Programs built here run under Wine for the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZPX_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ZPX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZPX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZPX_MINGW_PREFIX}-windres)
find_program(ZPX_DLLTOOL ${ZPX_MINGW_PREFIX}-dlltool REQUIRED)
find_program(ZPX_OBJDUMP ${ZPX_MINGW_PREFIX}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZPX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run through Wine; ctest puts this in front of every test program.
find_program(ZPX_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZPX_WINE})
