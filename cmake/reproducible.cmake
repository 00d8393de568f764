# Byte-identical builds of one commit, wherever and whenever they run.
# Included by the main build and by the 64-bit sub-build (bridge/x64), with
# CORVANEL_ROOT the checkout and CORVANEL_BUILD_MAPPED_AS the name that this
# build's folder takes in debug information.
#
# - Time stamps: SOURCE_DATE_EPOCH from the environment when set, otherwise
#   the time of the checkout's last commit (1980-01-01 outside git, the
#   earliest time a zip entry holds). The linker and objcopy take it as
#   SOURCE_DATE_EPOCH for the PE header's and the export table's time stamps;
#   the archive's members take it as their date (CORVANEL_SOURCE_DATE_EPOCH).
#   A commit re-runs the configuration, so the next build relinks with the
#   new time.
# - Paths: the checkout is /corvanel and the build folder
#   CORVANEL_BUILD_MAPPED_AS in debug information and __FILE__ (gdb:
#   set substitute-path /corvanel CHECKOUT).

if(NOT CORVANEL_SOURCE_DATE_EPOCH)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(CORVANEL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
    else()
        set(CORVANEL_SOURCE_DATE_EPOCH 315532800)
        find_program(GIT_PROGRAM git)
        if(GIT_PROGRAM)
            execute_process(COMMAND ${GIT_PROGRAM} -C ${CORVANEL_ROOT} log -1 --format=%ct
                            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                            RESULT_VARIABLE git_status ERROR_QUIET)
            if(git_status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
                set(CORVANEL_SOURCE_DATE_EPOCH ${commit_time})
                # The files that change with each commit: HEAD and the
                # branch it names (absent once packed; then packed-refs).
                execute_process(COMMAND ${GIT_PROGRAM} -C ${CORVANEL_ROOT} rev-parse
                                        --path-format=absolute --git-path HEAD
                                        --git-path packed-refs --symbolic-full-name HEAD
                                OUTPUT_VARIABLE git_paths OUTPUT_STRIP_TRAILING_WHITESPACE
                                ERROR_QUIET)
                string(REPLACE "\n" ";" git_paths "${git_paths}")
                list(LENGTH git_paths count)
                if(count EQUAL 3)
                    list(GET git_paths 2 branch)
                    execute_process(COMMAND ${GIT_PROGRAM} -C ${CORVANEL_ROOT} rev-parse
                                            --path-format=absolute --git-path ${branch}
                                    OUTPUT_VARIABLE branch_file OUTPUT_STRIP_TRAILING_WHITESPACE
                                    ERROR_QUIET)
                    list(REMOVE_AT git_paths 2)
                    list(APPEND git_paths ${branch_file})
                endif()
                foreach(path ${git_paths})
                    if(EXISTS ${path})
                        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
                    endif()
                endforeach()
            endif()
        endif()
    endif()
endif()

set(CORVANEL_WITH_SOURCE_DATE ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${CORVANEL_SOURCE_DATE_EPOCH})
set(CMAKE_C_LINKER_LAUNCHER ${CORVANEL_WITH_SOURCE_DATE})
set(CMAKE_CXX_LINKER_LAUNCHER ${CORVANEL_WITH_SOURCE_DATE})

# The build folder's mapping comes last: it may lie inside the checkout, and
# the last matching mapping wins.
add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CORVANEL_ROOT}=/corvanel>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=${CORVANEL_BUILD_MAPPED_AS}>")
