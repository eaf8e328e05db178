# Cross-building for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
# The posix flavour of the compiler is the one whose C++ library has std::thread and
# std::recursive_mutex. Programs link the C and C++ run-times statically, so the
# executable needs only the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

# Headers and libraries come from the mingw-w64 tree and from the roots given with
# -DCMAKE_FIND_ROOT_PATH (the cross-built OpenSSL); programs from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine on the build machine, without address space randomisation:
# Debian's wine64 has no preloader to reserve the addresses Wine needs, and a randomised
# heap now and then takes them (the process dies with "failed to map the shared user
# data"). setarch -R is inherited by every process Wine starts.
set(CMAKE_CROSSCOMPILING_EMULATOR setarch -R wine)
