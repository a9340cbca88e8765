# Build helpers shared by every folder.

macro(norva_set_warnings_and_sanitizers)
    add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)
    if(NORVA_WERROR)
        add_compile_options(-Werror)
    endif()
    if(NORVA_SANITIZE)
        add_compile_options(-fsanitize=${NORVA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
        add_link_options(-fsanitize=${NORVA_SANITIZE})
    endif()
endmacro()

# norva_library(NAME SOURCES ... [LINKS ...]): a static library of exactly the files listed
# (.cpp and .h, relative to the current folder). Nothing joins a library by lying in its
# folder: a file belongs to the library whose list names it.
function(norva_library name)
    cmake_parse_arguments(A "" "" "SOURCES;LINKS" ${ARGN})
    if(NOT A_SOURCES OR A_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "norva_library(${name} SOURCES ... LINKS ...): list the sources")
    endif()
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${A_LINKS} Threads::Threads)
endfunction()

# norva_tests(PREFIX SOURCES test_*.cpp ... LINKS ... [TIMEOUT s]): one test program per
# listed test_*.cpp, for plain C++ code (GoogleTest's own main); the program and its ctest
# test are named PREFIX_<file name without .cpp>.
# norva_qt_tests(PREFIX SOURCES qtest_*.cpp ... LINKS ...): the same for code that needs the
# windows; its main builds a QApplication, and the tests run on the offscreen platform. Built
# with NORVA_WIDGETS only.
# norva_core_tests(PREFIX SOURCES qtest_*.cpp ... LINKS ...): the same for the Qt core (QtCore,
# QtDBus); its main builds a QCoreApplication, the tests run with no display in their
# environment, and the configuration stops if a program reaches a display library or a library
# of the windows (ui/, app/). Built whenever Qt is, so the ThreadSanitizer build (no widgets)
# runs them.
# A test file of the folder that no list of the folder names stops the configuration: a test
# that is never built would pass unseen, so a file that looks like a test program has to be
# listed (or renamed). It is checked at the end of the folder's CMakeLists.txt, against all of
# its lists, including those of programs this configuration does not build.
function(norva_add_test_programs prefix pattern kind)
    cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LINKS" ${ARGN})
    if(NOT A_SOURCES OR A_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE}: list the ${pattern} files under SOURCES")
    endif()
    norva_listed_test_files(${pattern} ${A_SOURCES})
    if((kind STREQUAL "widgets" AND NOT NORVA_WIDGETS) OR
       (kind STREQUAL "core" AND NOT NORVA_WITH_QT))
        return()
    endif()
    if(NOT A_TIMEOUT)
        set(A_TIMEOUT 300)
    endif()
    foreach(src ${A_SOURCES})
        get_filename_component(stem ${src} NAME_WE)
        set(exe ${prefix}_${stem})
        if(kind STREQUAL "widgets")
            add_executable(${exe} ${src} ${PROJECT_SOURCE_DIR}/tests/support/QtTestMain.cpp)
            target_link_libraries(${exe} PRIVATE ${A_LINKS} Qt6::Test GTest::gtest GTest::gmock)
        elseif(kind STREQUAL "core")
            add_executable(${exe} ${src} ${PROJECT_SOURCE_DIR}/tests/support/QtCoreTestMain.cpp)
            target_link_libraries(${exe} PRIVATE ${A_LINKS} Qt6::Core GTest::gtest GTest::gmock)
            norva_core_without(FORBIDDEN Qt6::Gui Qt6::Widgets Qt6::Svg norva_ui_text norva_ui
                                         norva_app_lib TARGETS ${exe})
        else()
            add_executable(${exe} ${src})
            target_link_libraries(${exe} PRIVATE ${A_LINKS} GTest::gtest_main GTest::gmock)
        endif()
        target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
        target_compile_definitions(${exe} PRIVATE NORVA_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data")
        add_test(NAME ${exe} COMMAND ${exe})
        set_tests_properties(${exe} PROPERTIES TIMEOUT ${A_TIMEOUT} LABELS ${prefix})
        if(kind STREQUAL "core")
            # Whatever display the run was started from, these programs do not get one.
            set_tests_properties(${exe} PROPERTIES ENVIRONMENT_MODIFICATION
                                 "DISPLAY=unset:;WAYLAND_DISPLAY=unset:;QT_QPA_PLATFORM=unset:")
        else()
            set_tests_properties(${exe} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
        endif()
    endforeach()
endfunction()

# Remembers FILES as listed test programs of the current folder; once per folder and pattern,
# the end of the folder's CMakeLists.txt checks that no file matching PATTERN went unlisted.
function(norva_listed_test_files pattern)
    set_property(DIRECTORY APPEND PROPERTY NORVA_LISTED_TESTS ${ARGN})
    get_property(checked DIRECTORY PROPERTY NORVA_CHECKED_PATTERNS)
    if(NOT pattern IN_LIST checked)
        set_property(DIRECTORY APPEND PROPERTY NORVA_CHECKED_PATTERNS ${pattern})
        # A deferred call reads its arguments when it runs: the pattern goes in as text.
        cmake_language(EVAL CODE "cmake_language(DEFER CALL norva_check_test_files [[${pattern}]])")
    endif()
endfunction()

function(norva_check_test_files pattern)
    get_property(listed DIRECTORY PROPERTY NORVA_LISTED_TESTS)
    file(GLOB present RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${pattern})
    foreach(src ${present})
        if(NOT src IN_LIST listed)
            message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${src} is in no test list of "
                                "${CMAKE_CURRENT_SOURCE_DIR}/CMakeLists.txt")
        endif()
    endforeach()
endfunction()

function(norva_tests prefix)
    norva_add_test_programs(${prefix} "test_*.cpp" plain ${ARGN})
endfunction()

function(norva_qt_tests prefix)
    norva_add_test_programs(${prefix} "qtest_*.cpp" widgets ${ARGN})
endfunction()

function(norva_core_tests prefix)
    norva_add_test_programs(${prefix} "qtest_*.cpp" core ${ARGN})
endfunction()

# A test program that runs the real norvahbd through tests/bus/ServiceBed.h: the programs the
# bed starts come from this build (built first), and their paths are compiled in. Nothing
# when the target is not built in this configuration.
function(norva_uses_service_bed target)
    if(NOT TARGET ${target})
        return()
    endif()
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_dependencies(${target} norvahbd norva-device fake-login1 fake-polkit)
    target_compile_definitions(${target} PRIVATE
        NORVA_NORVAHBD="$<TARGET_FILE:norvahbd>"
        NORVA_DEVICE="$<TARGET_FILE:norva-device>"
        NORVA_FAKE_LOGIN1="$<TARGET_FILE:fake-login1>"
        NORVA_FAKE_POLKIT="$<TARGET_FILE:fake-polkit>"
        NORVA_PYTHON="${Python3_EXECUTABLE}"
        NORVA_TESTBED="${PROJECT_SOURCE_DIR}/tests/testbed/norva_testbed.py")
endfunction()

# norva_cases_that_may_skip(PROGRAM CASE ...): gives each listed GoogleTest case of PROGRAM a
# ctest test of its own, "PROGRAM/CASE", and leaves it out of PROGRAM's own test. List every
# case that calls GTEST_SKIP when the machine cannot do what it needs (root, IPv6, a mount
# namespace), by its full name as --gtest_list_tests gives it, wildcards not allowed.
# Why: ctest judges a test program as one test, by its exit code and output. A skipped case
# exits 0 like a passed one, so a program with a skipped case shows "Passed"; and a
# SKIP_REGULAR_EXPRESSION on the whole program would show it "Skipped" as soon as one case
# skipped, even when another failed (a match wins over the exit code). On a test that runs
# exactly one case the match is honest: "[  SKIPPED ]" there means that case, and nothing
# else, did not run. A name that matches no case fails rather than passing with nothing run.
function(norva_cases_that_may_skip exe)
    get_test_property(${exe} TIMEOUT timeout)
    get_test_property(${exe} LABELS labels)
    get_test_property(${exe} ENVIRONMENT environment)
    foreach(case ${ARGN})
        add_test(NAME ${exe}/${case} COMMAND ${exe} --gtest_filter=${case})
        set_tests_properties(${exe}/${case} PROPERTIES TIMEOUT ${timeout} LABELS "${labels}"
                             ENVIRONMENT "${environment}"
                             SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                             FAIL_REGULAR_EXPRESSION "Running 0 tests")
    endforeach()
    list(JOIN ARGN ":" cases)
    set_property(TEST ${exe} APPEND PROPERTY ENVIRONMENT "GTEST_FILTER=-${cases}")
endfunction()

# norva_core_without(FORBIDDEN lib... TARGETS target...): stops the configuration when any of
# the TARGETS reaches one of the FORBIDDEN libraries, directly or through any library it links.
# The core (settings, transports, heartbeat, command port), the agent, the front end's client
# and the service must run where there is no display, so a widget library that creeps into
# them through some link is a design fault, caught here rather than on a server without a
# display. So is a library of the windows (ui/, app/), even one of plain C++: the layers below
# the windows know nothing of them, and what both need lives below.
function(norva_core_without)
    cmake_parse_arguments(A "" "" "FORBIDDEN;TARGETS" ${ARGN})
    foreach(top ${A_TARGETS})
        if(NOT TARGET ${top})
            continue()
        endif()
        set(queue ${top})
        set(seen "")
        while(queue)
            list(POP_FRONT queue current)
            if(current IN_LIST seen)
                continue()
            endif()
            list(APPEND seen ${current})
            if(current IN_LIST A_FORBIDDEN)
                message(FATAL_ERROR "${top} reaches ${current}; the core links no display "
                                    "library and nothing of ui/ or app/ "
                                    "(see docs/ARCHITECTURE.md)")
            endif()
            if(NOT TARGET ${current})
                continue()
            endif()
            get_target_property(aliased ${current} ALIASED_TARGET)
            if(aliased)
                list(APPEND queue ${aliased})
            endif()
            get_target_property(type ${current} TYPE)
            set(links "")
            if(NOT type STREQUAL "INTERFACE_LIBRARY")
                get_target_property(direct ${current} LINK_LIBRARIES)
                if(direct)
                    list(APPEND links ${direct})
                endif()
            endif()
            get_target_property(iface ${current} INTERFACE_LINK_LIBRARIES)
            if(iface)
                list(APPEND links ${iface})
            endif()
            foreach(link ${links})
                # Generator expressions ($<LINK_ONLY:...> and friends) wrap a name.
                string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" link "${link}")
                if(NOT link MATCHES "^\\$<" AND NOT link MATCHES "^-")
                    list(APPEND queue ${link})
                endif()
            endforeach()
        endwhile()
    endforeach()
endfunction()
