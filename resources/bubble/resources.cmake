# The bubble view's pages load "bubble/..." and "emoji/..." relative to the program's folder.
# Copy both folders beside the program in the build tree and install them beside it.
include(GNUInstallDirs)

set(QM_PAGE_IMAGE_DIRS bubble emoji CACHE INTERNAL "")
set(QM_PAGE_IMAGE_PATTERNS *.png *.jpg *.css CACHE INTERNAL "")
set(QM_PAGE_IMAGE_SRC "${CMAKE_CURRENT_SOURCE_DIR}" CACHE INTERNAL "")

# qm_page_pictures(TARGET OUTDIR [ALL]): a target that copies the bubble and emoji folders
# into OUTDIR. Tests and benchmarks that export or paint pages copy them beside themselves,
# as the program has them beside itself.
function(qm_page_pictures target outdir)
    set(stamps "")
    foreach(dir ${QM_PAGE_IMAGE_DIRS})
        set(globs "")
        foreach(pattern ${QM_PAGE_IMAGE_PATTERNS})
            list(APPEND globs "${QM_PAGE_IMAGE_SRC}/${dir}/${pattern}")
        endforeach()
        file(GLOB files CONFIGURE_DEPENDS ${globs})
        string(MAKE_C_IDENTIFIER "${outdir}" tag)
        set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${dir}-${tag}-copied.stamp")
        add_custom_command(
            OUTPUT "${stamp}"
            COMMAND "${CMAKE_COMMAND}" "-DSRC=${QM_PAGE_IMAGE_SRC}/${dir}" "-DDST=${outdir}/${dir}"
                -P "${QM_PAGE_IMAGE_SRC}/bubble/copypictures.cmake"
            COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
            DEPENDS ${files} "${QM_PAGE_IMAGE_SRC}/bubble/copypictures.cmake"
            COMMENT "Copying the ${dir} pictures into ${outdir}"
            VERBATIM)
        list(APPEND stamps "${stamp}")
    endforeach()
    add_custom_target(${target} ${ARGN} DEPENDS ${stamps})
endfunction()

qm_page_pictures(qm_page_images "${CMAKE_BINARY_DIR}/app" ALL)
foreach(dir ${QM_PAGE_IMAGE_DIRS})
    install(DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/"
        DESTINATION "${CMAKE_INSTALL_BINDIR}/${dir}"
        FILES_MATCHING PATTERN "*.png" PATTERN "*.jpg" PATTERN "*.css" PATTERN "LICENSE*")
endforeach()
