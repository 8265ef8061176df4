# Cross-build of the program for a Windows CE 3.0 handheld (x86): the i686 compiler's own
# Windows headers with the handheld's differences declared in platform/wince/handheld.h, and
# nothing linked but import libraries made from the project's table of the handheld's calls
# (platform/handheld_api.txt) and the compiler's helpers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANDREL_HANDHELD ON)

if(NOT DEFINED TOOLCHAIN_PREFIX)
    set(TOOLCHAIN_PREFIX i686-w64-mingw32)
endif()
# Debian ships the i686 compiler in two thread models; the handheld's program uses neither
# model's runtime, so either does.
find_program(CMAKE_CXX_COMPILER NAMES ${TOOLCHAIN_PREFIX}-g++-posix ${TOOLCHAIN_PREFIX}-g++-win32
    ${TOOLCHAIN_PREFIX}-g++ REQUIRED)
string(REGEX REPLACE "g\\+\\+([^/]*)$" "gcc\\1" CMAKE_C_COMPILER ${CMAKE_CXX_COMPILER})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
find_program(VANDREL_DLLTOOL ${TOOLCHAIN_PREFIX}-dlltool REQUIRED)

# On Windows CE for x86 every system call, and every procedure the system calls back (window
# and thread procedures, the entry point), is __cdecl: the caller pops the arguments. The
# handheld's own compilers make WINAPI and CALLBACK mean that, and so does this build
# (platform/wince/handheld.h, read before any header).
# The processors of Windows CE 3.0 x86 machines (486, Pentium, Elan, Geode) have no cmov and
# nothing later: the code is for the 486.
get_filename_component(VANDREL_HANDHELD_H ${CMAKE_CURRENT_LIST_DIR}/../platform/wince/handheld.h
    ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-march=i486 -D_WIN32_WCE=0x300 -DUNDER_CE -include ${VANDREL_HANDHELD_H} \
-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics")
set(CMAKE_RC_FLAGS_INIT "-D_WIN32_WCE=0x300 -DUNDER_CE")

# No C runtime and no desktop library: the program's own start-up code, the import
# libraries made from the table of the handheld's calls, and the compiler's helpers. The
# handheld lays a program out from 0x10000 in its process slot of 32 MB, and takes every
# thread's stack reserve from the image: its own default, 64 KB.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -Wl,--subsystem,wince:3.0 -Wl,-e,_WinMainCRTStartup \
-Wl,--image-base,0x10000 -Wl,--stack,65536")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lgcc" CACHE STRING "" FORCE)
set(CMAKE_C_STANDARD_LIBRARIES "-lgcc" CACHE STRING "" FORCE)
# The compilers cannot link a program before the project has made its import libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
