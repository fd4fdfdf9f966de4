# The short identifier of the build: the git commit the tree was built from, or "unknown" outside
# a git checkout. Passed to one source file only, so a new commit recompiles that file alone;
# the configure step runs again when the checked-out commit changes.
function(vx_build_id_definition source)
    set(build_id unknown)
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE result ERROR_QUIET)
        if(result EQUAL 0 AND NOT commit STREQUAL "")
            set(build_id ${commit})
            # HEAD names the branch; the branch's ref file moves with each commit.
            execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE head_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            execute_process(COMMAND ${GIT_EXECUTABLE} symbolic-ref -q HEAD
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE branch_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            set(watched ${head_file})
            if(NOT branch_ref STREQUAL "")
                execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${branch_ref}
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE ref_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
                list(APPEND watched ${ref_file})
            endif()
            foreach(file ${watched})
                if(NOT IS_ABSOLUTE ${file})
                    set(file ${PROJECT_SOURCE_DIR}/${file})
                endif()
                if(EXISTS ${file})
                    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
                endif()
            endforeach()
        endif()
    endif()
    set_source_files_properties(${source} PROPERTIES COMPILE_DEFINITIONS "VX_BUILD_ID=\"${build_id}\"")
    message(STATUS "Build identifier: ${build_id}")
endfunction()
