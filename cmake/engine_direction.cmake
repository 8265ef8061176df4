# Fails, naming each offending line, when a file in engine/ includes a header from ui/: the
# engine reports through engine/run_report.h and must build without the window.
# Run as: cmake -DSOURCE_DIR=<repository root> -P engine_direction.cmake
file(GLOB engine_files ${SOURCE_DIR}/engine/*)
set(offences "")
foreach(file IN LISTS engine_files)
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]ui/")
    foreach(line IN LISTS lines)
        string(APPEND offences "\n  ${file}: ${line}")
    endforeach()
endforeach()
if(offences)
    message(FATAL_ERROR "The engine includes the window's headers:${offences}")
endif()
