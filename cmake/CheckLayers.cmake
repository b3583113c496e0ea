# Fails when a folder includes a header of a folder on its own level or above it. Folders
# read bottom-up; a folder may include only itself and the levels below it (folders that
# share a level, like messages and device, stay apart). The tests and benchmarks may
# include anything.
# Run as: cmake -DSOURCE_DIR=... -P CheckLayers.cmake
set(levels
    "platform"
    "shell"
    "records"
    "backup"
    "recovery"
    "messages|device"
    "view"
    "operations"
    "app")
set(all "")
foreach(level ${levels})
    string(REPLACE "|" ";" folders "${level}")
    list(APPEND all ${folders})
endforeach()

set(failures "")
set(below "")
foreach(level ${levels})
    string(REPLACE "|" ";" folders "${level}")
    foreach(folder ${folders})
        set(forbidden ${all})
        list(REMOVE_ITEM forbidden ${below} ${folder})
        if(NOT forbidden)
            continue()
        endif()
        list(TRANSFORM forbidden APPEND "/")
        list(JOIN forbidden "|" pattern)
        file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
        foreach(src ${sources})
            file(STRINGS "${src}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(${pattern})")
            foreach(line ${lines})
                file(RELATIVE_PATH rel "${SOURCE_DIR}" "${src}")
                string(APPEND failures "  ${rel}: ${line}\n")
            endforeach()
        endforeach()
    endforeach()
    list(APPEND below ${folders})
endforeach()
if(failures)
    message(FATAL_ERROR "Includes that point up the layers:\n${failures}")
endif()
