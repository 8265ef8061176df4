# The handheld's program, from the same sources as the desktop's (included by CMakeLists.txt
# under cmake/wince-x86.cmake or cmake/wince-arm.cmake). It is linked against nothing but
# imports made here from the project's table of the handheld's calls, for the calls its
# objects make; a call the table lacks stops the build, named (tools/handheld_imports.py).
if(VANDREL_HANDHELD_ARM)
    # The ARM program's writer reads the ELF image with Debian's python3-pyelftools, which only
    # Debian's own interpreter sees (tools/env.sh names it).
    if(DEFINED ENV{VANDREL_PYTHON})
        set(Python3_EXECUTABLE $ENV{VANDREL_PYTHON})
    else()
        set(Python3_EXECUTABLE /usr/bin/python3)
    endif()
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(GLOB HANDHELD_SOURCES CONFIGURE_DEPENDS engine/*.cpp ui/*.cpp platform/win32/*.cpp
    platform/wince/*.cpp)
add_library(handheld_objects OBJECT ${HANDHELD_SOURCES} ${PAYLOAD_SOURCE} res/vandrel.rc)
vandrel_strict(handheld_objects)

set(HANDHELD_CALLS ${CMAKE_SOURCE_DIR}/platform/handheld_api.txt)
set(IMPORTS_DIR ${CMAKE_BINARY_DIR}/imports)

# ARM: the objects, an import stub and slot for each call, and the compiler's helpers, linked
# as ELF at the addresses the PE file gives them (cmake/wince-arm.ld) and keeping their
# relocations (-q), from which tools/write_wince_pe.py makes the base relocations. The
# StrongARM has no bx: --fix-v4bx makes the helpers' returns mov pc. The helpers' objects
# are marked with the bare compiler's 4-byte wchar_t and short enums, and pass neither to the
# program's code: those two warnings say nothing here, and every other one stops the link.
if(VANDREL_HANDHELD_ARM)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${VANDREL_ARM_CODE} -print-libgcc-file-name
        OUTPUT_VARIABLE LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CODE_OBJECTS "$<FILTER:$<TARGET_OBJECTS:handheld_objects>,EXCLUDE,\\.res$>")
    set(RESOURCES "$<FILTER:$<TARGET_OBJECTS:handheld_objects>,INCLUDE,\\.res$>")
    set(LAYOUT ${CMAKE_SOURCE_DIR}/cmake/wince-arm.ld)
    set(ELF_IMAGE ${CMAKE_BINARY_DIR}/vandrel.elf)
    add_custom_command(
        OUTPUT ${IMPORTS_DIR}/imports.s ${IMPORTS_DIR}/imports.txt
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/handheld_imports.py --arm
            ${CMAKE_NM} ${LIBGCC} ${IMPORTS_DIR} ${HANDHELD_CALLS} ${CODE_OBJECTS}
        DEPENDS handheld_objects $<TARGET_OBJECTS:handheld_objects> ${HANDHELD_CALLS}
            tools/handheld_imports.py tools/handheld_api.py
        COMMENT "Making import stubs from the table of the handheld's calls"
        COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_command(
        OUTPUT ${IMPORTS_DIR}/imports.o
        COMMAND ${CMAKE_C_COMPILER} ${VANDREL_ARM_CODE} -c ${IMPORTS_DIR}/imports.s
            -o ${IMPORTS_DIR}/imports.o
        DEPENDS ${IMPORTS_DIR}/imports.s
        VERBATIM)
    add_custom_command(
        OUTPUT ${ELF_IMAGE}
        COMMAND ${CMAKE_LINKER} -q --fix-v4bx --strip-debug --fatal-warnings
            --no-wchar-size-warning --no-enum-size-warning -T ${LAYOUT} -o ${ELF_IMAGE}
            ${CODE_OBJECTS} ${IMPORTS_DIR}/imports.o ${LIBGCC}
        DEPENDS $<TARGET_OBJECTS:handheld_objects> ${IMPORTS_DIR}/imports.o ${LAYOUT}
        COMMENT "Linking the handheld's ARM program"
        COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/vandrel.exe
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/write_wince_pe.py ${ELF_IMAGE}
            ${IMPORTS_DIR}/imports.txt ${RESOURCES} ${CMAKE_BINARY_DIR}/vandrel.exe
        DEPENDS ${ELF_IMAGE} ${IMPORTS_DIR}/imports.txt $<TARGET_OBJECTS:handheld_objects>
            tools/write_wince_pe.py
        COMMENT "Writing the handheld's ARM program as a Windows CE PE file"
        COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_target(vandrel ALL DEPENDS ${CMAKE_BINARY_DIR}/vandrel.exe)
    return()
endif()

set(IMPORT_LIBRARIES ${IMPORTS_DIR}/libcoredll.a ${IMPORTS_DIR}/libcommctrl.a)
# The table of the import slots that the program's start-up reads, linked before the import
# libraries whose slots it names.
set(IMPORT_TABLE ${IMPORTS_DIR}/import_table.o)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
add_custom_command(
    OUTPUT ${IMPORT_LIBRARIES} ${IMPORTS_DIR}/import_table.s
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/handheld_imports.py ${CMAKE_NM}
        ${VANDREL_DLLTOOL} ${LIBGCC} ${IMPORTS_DIR} ${HANDHELD_CALLS}
        "$<TARGET_OBJECTS:handheld_objects>"
    DEPENDS handheld_objects $<TARGET_OBJECTS:handheld_objects> ${HANDHELD_CALLS}
        tools/handheld_imports.py tools/handheld_api.py
    COMMENT "Making import libraries from the table of the handheld's calls"
    VERBATIM)
add_custom_command(
    OUTPUT ${IMPORT_TABLE}
    COMMAND ${CMAKE_C_COMPILER} -c ${IMPORTS_DIR}/import_table.s -o ${IMPORT_TABLE}
    DEPENDS ${IMPORTS_DIR}/import_table.s
    VERBATIM)
add_custom_target(handheld_imports DEPENDS ${IMPORT_LIBRARIES} ${IMPORT_TABLE})

add_executable(vandrel $<TARGET_OBJECTS:handheld_objects>)
add_dependencies(vandrel handheld_imports)
target_link_libraries(vandrel PRIVATE ${IMPORT_TABLE} ${IMPORT_LIBRARIES})
# The same bytes from every build of the same sources and payloads: no time stamp. An owner's
# build (./package) also leaves out the symbol table, which names the build's folder; the
# tests' builds keep it, to name the functions they find fault with.
option(VANDREL_STRIP "leave the symbol table out of the program" OFF)
target_link_options(vandrel PRIVATE -Wl,--no-insert-timestamp $<$<BOOL:${VANDREL_STRIP}>:-s>)
