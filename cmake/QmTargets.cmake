# Helpers that give every target of ours the same warnings and the same way of
# pulling in the built-in resources.

# Warnings are errors where the project's own scripts and CI build (-DQM_WERROR=ON); a plain
# build of any type reports them and goes on, since another compiler version may warn falsely.
set(QM_WARNINGS -Wall -Wextra)
if(QM_WERROR)
    list(APPEND QM_WARNINGS -Werror)
endif()

# qm_library(NAME [SOURCES ...] [LIBS ...])
# A static library of one subsystem folder. Without SOURCES it takes every
# .cpp and .h of the calling folder.
function(qm_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_SOURCES)
        file(GLOB ARG_SOURCES CONFIGURE_DEPENDS
            "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
    endif()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${QM_WARNINGS})
    target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}")
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# qm_link_resources(TARGET): links the resource objects (translation, style
# sheet, images, SQL scripts, country table) into an executable.
function(qm_link_resources target)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:qm_resources>)
    add_dependencies(${target} qm_resources)
endfunction()

# Where no session names a runtime folder (CI, a container), Qt makes one in the temporary
# folder that stays; the tests get theirs here. Qt takes it only when it is the user's alone.
set(QM_TEST_RUNTIME_DIR "${CMAKE_BINARY_DIR}/test-runtime")
file(MAKE_DIRECTORY "${QM_TEST_RUNTIME_DIR}")
execute_process(COMMAND chmod 700 "${QM_TEST_RUNTIME_DIR}")

# qm_add_test(NAME SOURCES ... LIBS ...)
function(qm_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${QM_WARNINGS})
    target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}" "${CMAKE_SOURCE_DIR}/tests")
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt5::Test)
    qm_link_resources(${name})
    add_test(NAME ${name} COMMAND ${name})
    set(env "QT_QPA_PLATFORM=offscreen;TZ=UTC;LC_ALL=C.UTF-8;XDG_RUNTIME_DIR=${QM_TEST_RUNTIME_DIR}")
    set(timeout 300)
    if(QM_SANITIZE)
        # Qt's platform plugin and WebKit keep objects for the life of the process; the
        # suppressions name the Qt functions that make them, found deep in the stack.
        list(APPEND env "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp:fast_unwind_on_malloc=0:malloc_context_size=64:print_suppressions=0")
        # The hostile-size cases run many times slower under the sanitizers; Qt Test's own
        # watchdog would end them at 5 minutes.
        set(timeout 1500)
        list(APPEND env "QTEST_FUNCTION_TIMEOUT=1500000")
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${timeout})
endfunction()

# qm_add_tests(LIBS ...): one test executable per tst_*.cpp of the calling
# folder, each with the folder's other .cpp files (shared helpers) beside it.
function(qm_add_tests)
    cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp")
    foreach(src ${tests})
        get_filename_component(name "${src}" NAME_WE)
        qm_add_test(${name} SOURCES "${src}" LIBS ${ARG_LIBS})
    endforeach()
endfunction()
