# The handheld's program, from the same sources as the desktop's (included by CMakeLists.txt
# under cmake/wince-x86.cmake). It is linked against nothing but import libraries made here
# from the handheld's export lists, for the calls its objects make; a call the handheld does
# not export stops the build, named (tools/handheld_imports.py).
if(NOT EXISTS ${VANDREL_CE_SDK}/w32api/libce/coredll.def)
    message(FATAL_ERROR "no Windows CE SDK at ${VANDREL_CE_SDK} (set VANDREL_CE_SDK)")
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(GLOB HANDHELD_SOURCES CONFIGURE_DEPENDS engine/*.cpp ui/*.cpp platform/win32/*.cpp
    platform/wince/*.cpp)
add_library(handheld_objects OBJECT ${HANDHELD_SOURCES} ${PAYLOAD_SOURCE} res/vandrel.rc)
vandrel_strict(handheld_objects)

set(EXPORT_LISTS ${VANDREL_CE_SDK}/w32api/libce/coredll.def
    ${VANDREL_CE_SDK}/w32api/libce/commctrl.def)
set(IMPORTS_DIR ${CMAKE_BINARY_DIR}/imports)
set(IMPORT_LIBRARIES ${IMPORTS_DIR}/libcoredll.a ${IMPORTS_DIR}/libcommctrl.a)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
add_custom_command(
    OUTPUT ${IMPORT_LIBRARIES}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/handheld_imports.py ${CMAKE_NM}
        ${VANDREL_DLLTOOL} ${LIBGCC} ${IMPORTS_DIR} ${EXPORT_LISTS} --
        "$<TARGET_OBJECTS:handheld_objects>"
    DEPENDS handheld_objects $<TARGET_OBJECTS:handheld_objects> ${EXPORT_LISTS}
        tools/handheld_imports.py
    COMMENT "Making import libraries from the handheld's export lists"
    VERBATIM)
add_custom_target(handheld_imports DEPENDS ${IMPORT_LIBRARIES})

add_executable(vandrel $<TARGET_OBJECTS:handheld_objects>)
add_dependencies(vandrel handheld_imports)
target_link_libraries(vandrel PRIVATE ${IMPORT_LIBRARIES})
