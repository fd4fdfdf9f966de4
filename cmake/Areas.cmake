# One static library per source area. Every .cpp in the area's folder belongs to it, so adding
# a file needs no edit here; the dependency list keeps the direction between areas visible.
set(VX_WARNINGS -Wall -Wextra -Werror)

function(vx_area name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
    if(sources)
        add_library(vx_${name} STATIC ${sources})
        target_compile_options(vx_${name} PRIVATE ${VX_WARNINGS})
        set(scope PUBLIC)
    else()
        add_library(vx_${name} INTERFACE)
        set(scope INTERFACE)
    endif()
    target_include_directories(vx_${name} ${scope} ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(vx_${name} ${scope} ${ARG_DEPS})
endfunction()

# Tests of one area: every *_test.cpp under agent/tests/<area>/ forms one GoogleTest binary
# labelled "unit"; every *_itest.cpp forms a second one labelled "integration".
function(vx_area_tests area)
    cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
    foreach(kind unit integration)
        if(kind STREQUAL "unit")
            set(pattern "*_test.cpp")
            set(target vx_${area}_tests)
        else()
            set(pattern "*_itest.cpp")
            set(target vx_${area}_itests)
        endif()
        file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${area}/${pattern})
        if(NOT sources)
            continue()
        endif()
        add_executable(${target} ${sources})
        target_compile_options(${target} PRIVATE ${VX_WARNINGS})
        target_link_libraries(${target} PRIVATE ${ARG_DEPS} vx_test_support GTest::gtest GTest::gmock GTest::gtest_main)
        gtest_discover_tests(${target}
            DISCOVERY_MODE PRE_TEST
            DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS "${kind};${ARG_LABELS}" TIMEOUT 300
            WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    endforeach()
endfunction()
