# Fails when a folder includes a header of a folder above it: nothing but app/ and the
# tests may include app/, shell/ sees only itself and platform/, platform/ only itself.
# Run as: cmake -DSOURCE_DIR=... -P CheckLayers.cmake
set(rules
    "backup|bench|device|messages|operations|platform|recovery|resources|shell|view=app/"
    "shell=app/|backup/|device/|messages/|operations/|recovery/|view/"
    "platform=app/|backup/|device/|messages/|operations/|recovery/|shell/|view/")
set(failures "")
foreach(rule ${rules})
    string(REPLACE "=" ";" parts "${rule}")
    list(GET parts 0 folders)
    list(GET parts 1 forbidden)
    string(REPLACE "|" ";" folders "${folders}")
    foreach(folder ${folders})
        file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
        foreach(src ${sources})
            file(STRINGS "${src}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(${forbidden})")
            foreach(line ${lines})
                file(RELATIVE_PATH rel "${SOURCE_DIR}" "${src}")
                string(APPEND failures "  ${rel}: ${line}\n")
            endforeach()
        endforeach()
    endforeach()
endforeach()
if(failures)
    message(FATAL_ERROR "Includes that point up the layers:\n${failures}")
endif()
