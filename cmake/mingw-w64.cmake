# Cross-builds for 64-bit Windows with Debian's mingw-w64, posix thread
# model (std::thread and friends need it). The result runs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RADODARO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RADODARO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RADODARO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${RADODARO_MINGW}-windres)

# The mingw-w64 system, and what scripts/windows-deps built for it (a
# scratch copy of the tree may point at the real tree's).
if(NOT RADODARO_WINDOWS_DEPS)
  set(RADODARO_WINDOWS_DEPS ${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${RADODARO_MINGW} ${RADODARO_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing but the system's own DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
