# The bubble view's pages load "bubble/..." and "emoji/..." relative to the program's folder.
# Copy both folders beside the program in the build tree and install them beside it.
include(GNUInstallDirs)

set(QM_PAGE_IMAGE_DIRS bubble emoji)
set(QM_PAGE_IMAGE_PATTERNS *.png *.jpg *.css)
set(QM_PAGE_IMAGE_OUT "${CMAKE_BINARY_DIR}/app")
set(QM_PAGE_IMAGE_STAMPS "")
foreach(dir ${QM_PAGE_IMAGE_DIRS})
    set(globs "")
    foreach(pattern ${QM_PAGE_IMAGE_PATTERNS})
        list(APPEND globs "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${pattern}")
    endforeach()
    file(GLOB files CONFIGURE_DEPENDS ${globs})
    set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${dir}-copied.stamp")
    add_custom_command(
        OUTPUT "${stamp}"
        COMMAND "${CMAKE_COMMAND}" "-DSRC=${CMAKE_CURRENT_SOURCE_DIR}/${dir}"
            "-DDST=${QM_PAGE_IMAGE_OUT}/${dir}"
            -P "${CMAKE_CURRENT_SOURCE_DIR}/bubble/copypictures.cmake"
        COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
        DEPENDS ${files} "${CMAKE_CURRENT_SOURCE_DIR}/bubble/copypictures.cmake"
        COMMENT "Copying the ${dir} pictures beside the program"
        VERBATIM)
    list(APPEND QM_PAGE_IMAGE_STAMPS "${stamp}")
    install(DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/"
        DESTINATION "${CMAKE_INSTALL_BINDIR}/${dir}"
        FILES_MATCHING PATTERN "*.png" PATTERN "*.jpg" PATTERN "*.css" PATTERN "LICENSE*")
endforeach()
add_custom_target(qm_page_images ALL DEPENDS ${QM_PAGE_IMAGE_STAMPS})
