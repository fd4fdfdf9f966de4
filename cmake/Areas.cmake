# One static library per source folder. Every .cpp directly in the folder belongs to it, so adding
# a file needs no edit here; the dependency list keeps the direction between libraries visible.
# A folder inside an area ("traversal/router") is a library of its own, vx_traversal_router; its
# files are not part of the area's library, and its tests are registered for it alone.
# DEPS are the libraries the folder's headers need (passed on to its users); PRIVATE those only
# its sources use.
set(VX_WARNINGS -Wall -Wextra -Werror)

function(vx_area name)
    cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE" ${ARGN})
    string(REPLACE "/" "_" target vx_${name})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
    if(sources)
        add_library(${target} STATIC ${sources})
        target_compile_options(${target} PRIVATE ${VX_WARNINGS})
        set(scope PUBLIC)
    else()
        add_library(${target} INTERFACE)
        set(scope INTERFACE)
    endif()
    target_include_directories(${target} ${scope} ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} ${scope} ${ARG_DEPS})
    if(ARG_PRIVATE)
        if(NOT sources)
            message(FATAL_ERROR "vx_area(${name}): a folder without sources has no PRIVATE uses")
        endif()
        target_link_libraries(${target} PRIVATE ${ARG_PRIVATE})
    endif()
    if(name MATCHES "/")
        set_property(GLOBAL APPEND PROPERTY VX_SUBFOLDER_LIBRARIES ${name})
    endif()
endfunction()

# Tests of one area: every *_test.cpp directly under agent/tests/<area>/ forms one GoogleTest
# binary vx_<area>_tests labelled "unit", every *_itest.cpp a binary vx_<area>_itests labelled
# "integration". Each subfolder agent/tests/<area>/<group>/ forms its own pair of binaries
# (vx_<area>_<group>_tests, vx_<area>_<group>_itests), so a large area keeps its groups apart.
# LABELS go on both kinds of binary, INTEGRATION_LABELS on the integration ones only.
function(vx_test_binary target kind sources)
    cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
    add_executable(${target} ${sources})
    target_compile_options(${target} PRIVATE ${VX_WARNINGS})
    target_link_libraries(${target} PRIVATE ${ARG_DEPS} vx_test_support GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT 300
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    # The labels are set by a file ctest reads after the discovered tests: a list handed to
    # gtest_discover_tests' PROPERTIES is split on the way, so a second label (tsan) would be lost.
    set(labels ${kind} ${ARG_LABELS})
    # Tests that build network namespaces (a source named *netns*) can be run on their own.
    if("${sources}" MATCHES "netns")
        list(APPEND labels netns)
    endif()
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${labels_file}
        "if(DEFINED ${target}_TESTS)\n"
        "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
    if(kind STREQUAL "integration")
        # Integration tests may start the agent itself.
        add_dependencies(${target} velmora-agent)
    endif()
endfunction()

function(vx_area_tests area)
    cmake_parse_arguments(ARG "" "" "DEPS;LABELS;INTEGRATION_LABELS" ${ARGN})
    set(root ${CMAKE_CURRENT_SOURCE_DIR}/${area})
    string(REPLACE "/" "_" area_prefix vx_${area})
    get_property(subfolder_libraries GLOBAL PROPERTY VX_SUBFOLDER_LIBRARIES)
    file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS ${root}/*)
    set(groups "")
    foreach(child ${children})
        if(IS_DIRECTORY ${child})
            get_filename_component(group ${child} NAME)
            # A library folder's tests are registered with that library's own call.
            if(NOT "${area}/${group}" IN_LIST subfolder_libraries)
                list(APPEND groups ${group})
            endif()
        endif()
    endforeach()
    foreach(group "" ${groups})
        if(group STREQUAL "")
            set(dir ${root})
            set(prefix ${area_prefix})
        else()
            set(dir ${root}/${group})
            set(prefix ${area_prefix}_${group})
        endif()
        file(GLOB unit CONFIGURE_DEPENDS ${dir}/*_test.cpp)
        file(GLOB integration CONFIGURE_DEPENDS ${dir}/*_itest.cpp)
        if(unit)
            vx_test_binary(${prefix}_tests unit "${unit}" DEPS ${ARG_DEPS} LABELS ${ARG_LABELS})
        endif()
        if(integration)
            vx_test_binary(${prefix}_itests integration "${integration}" DEPS ${ARG_DEPS}
                LABELS ${ARG_LABELS} ${ARG_INTEGRATION_LABELS})
        endif()
    endforeach()
endfunction()
