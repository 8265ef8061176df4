# Cross-build of the program for a Windows CE 3.0 handheld (x86), from the handheld's own
# headers and its libraries' export lists (VANDREL_CE_SDK, by default ../shared/ce-sdk beside
# the project): no desktop Windows header and no desktop library reaches it. A handheld of
# another processor takes another compiler prefix (CeGCC's arm-mingw32ce, say) and the same
# file otherwise.
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

if(NOT DEFINED VANDREL_CE_SDK)
    if(DEFINED ENV{VANDREL_CE_SDK})
        set(VANDREL_CE_SDK $ENV{VANDREL_CE_SDK})
    else()
        get_filename_component(VANDREL_CE_SDK ${CMAKE_CURRENT_LIST_DIR}/../../shared/ce-sdk ABSOLUTE)
    endif()
endif()
# Kept for the compiler checks, which run this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANDREL_CE_SDK)

# The compiler's own headers (stdint.h, stdarg.h, intrinsics), then the handheld's C library
# and Windows headers. Debian's stddef.h and stdarg.h end by including the next of their
# name, which the handheld's C library does not have: platform/wince/include holds an empty
# one of each, last on the path.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE COMPILER_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem ${COMPILER_INCLUDE} \
-isystem ${VANDREL_CE_SDK}/mingwrt/include -isystem ${VANDREL_CE_SDK}/w32api/include \
-idirafter ${CMAKE_CURRENT_LIST_DIR}/../platform/wince/include \
-D_WIN32_WCE=0x300 -DUNDER_CE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables \
-fno-threadsafe-statics")
set(CMAKE_RC_FLAGS_INIT "-D_WIN32_WCE=0x300 -DUNDER_CE")

# No C runtime and no desktop library: the program's own start-up code, the import
# libraries made from the export lists, and the compiler's helpers.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -Wl,--subsystem,wince:3.0 -Wl,-e,_WinMainCRTStartup@16")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lgcc" CACHE STRING "" FORCE)
set(CMAKE_C_STANDARD_LIBRARIES "-lgcc" CACHE STRING "" FORCE)
# The compilers cannot link a program before the project has made its import libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
