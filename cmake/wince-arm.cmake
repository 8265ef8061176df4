# Cross-build of the program for a Windows CE 3.0 handheld (ARM): Debian's bare ARM compiler
# over mingw-w64's Windows headers, with what a Windows compiler predefines declared in
# platform/wince/arm_predefines.h and the handheld's differences in platform/wince/handheld.h.
# The objects are linked as ELF and written out as the handheld's PE file by
# tools/write_wince_pe.py (cmake/handheld.cmake); nothing is linked but the objects, the import
# stubs made from the project's table of the handheld's calls (platform/handheld_api.txt) and
# the compiler's helpers.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VANDREL_HANDHELD ON)
set(VANDREL_HANDHELD_ARM ON)

find_program(CMAKE_CXX_COMPILER arm-none-eabi-g++ REQUIRED)
find_program(CMAKE_C_COMPILER arm-none-eabi-gcc REQUIRED)
# Any target's windres writes the same resource file, which is the resource "object" here:
# the PE writer lays it out.
find_program(CMAKE_RC_COMPILER NAMES i686-w64-mingw32-windres x86_64-w64-mingw32-windres
    REQUIRED)
set(CMAKE_RC_COMPILE_OBJECT
    "<CMAKE_RC_COMPILER> -O res <DEFINES> <INCLUDES> <FLAGS> <SOURCE> <OBJECT>")

set(VANDREL_MINGW_HEADERS /usr/share/mingw-w64/include CACHE PATH "mingw-w64's Windows headers")
# Kept for the compiler checks, which run this file again in projects of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANDREL_MINGW_HEADERS)

# The processors of Windows CE 3.0 Pocket PCs (StrongARM SA-1100, SA-1110) are ARMv4 without
# Thumb and without a floating-point unit.
set(VANDREL_ARM_CODE -marm -march=armv4 -mfloat-abi=soft)
# The handheld's ABI where the bare compiler's defaults differ: wchar_t of 16 bits, enums the
# size of an int, and char signed, as the handheld's compilers and the desktop's make them.
# Only the compiler's own headers and mingw-w64's are read, not the bare C library's.
get_filename_component(VANDREL_WINCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../platform/wince ABSOLUTE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE VANDREL_COMPILER_HEADERS OUTPUT_STRIP_TRAILING_WHITESPACE)
string(JOIN " " CMAKE_CXX_FLAGS_INIT ${VANDREL_ARM_CODE}
    -fshort-wchar -fno-short-enums -fsigned-char
    -nostdinc -isystem ${VANDREL_WINCE_DIR}/arm_headers -isystem ${VANDREL_COMPILER_HEADERS}
    -isystem ${VANDREL_MINGW_HEADERS} -include ${VANDREL_WINCE_DIR}/arm_predefines.h
    -D_WIN32_WCE=0x300 -DUNDER_CE -include ${VANDREL_WINCE_DIR}/handheld.h
    -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set(CMAKE_RC_FLAGS_INIT "-D_WIN32_WCE=0x300 -DUNDER_CE")

# Nothing is linked by the compiler driver: cmake/handheld.cmake calls the linker itself.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
