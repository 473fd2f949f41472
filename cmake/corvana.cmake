# Source conventions shared by every folder:
#   foo.cpp        goes into the folder's library
#   foo_test.cpp   one GoogleTest executable, run by CTest (only with BUILD_TESTING)
#   foo_fuzz.cpp   one libFuzzer target (only with CORVANA_FUZZ and BUILD_TESTING, clang)
#   foo_main.cpp   an executable's entry point; the folder's CMakeLists decides what to do with it

set(CORVANA_SANDBOX ${CMAKE_SOURCE_DIR}/tests/sandbox/run-in-sandbox.sh)

# Time-outs are given as measured on the default preset; sanitizer builds run several times
# slower.
if(CORVANA_TSAN)
    set(CORVANA_TIMEOUT_SCALE 8)
elseif(CORVANA_SANITIZE)
    set(CORVANA_TIMEOUT_SCALE 4)
else()
    set(CORVANA_TIMEOUT_SCALE 1)
endif()

function(corvana_test_timeout test seconds)
    math(EXPR scaled "${seconds} * ${CORVANA_TIMEOUT_SCALE}")
    set_tests_properties(${test} PROPERTIES TIMEOUT ${scaled})
endfunction()

function(corvana_library_sources dir out)
    file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(FILTER all EXCLUDE REGEX "_(test|fuzz|main)\\.cpp$")
    set(${out} ${all} PARENT_SCOPE)
endfunction()

# corvana_add_tests(DIR LINK lib... [UNIT stem...] [TIMEOUTS stem seconds...])
#
# Every test executable links what LINK names and nothing else but the test main, so a test of a
# library that reaches past the library's declared dependencies fails to link. By default it runs
# as root in a fresh sandbox of its own (label "system"). The programs named after UNIT touch no
# system path, need no root and run no system tool: they run directly, as any user (label "unit").
# A program gets 60 s unless TIMEOUTS gives it more. Test names are the folder's path below the
# source root with "_" for "/", then the stem.
function(corvana_add_tests dir)
    if(NOT BUILD_TESTING)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LINK;UNIT;TIMEOUTS")
    file(GLOB tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
    file(RELATIVE_PATH folder ${CMAKE_SOURCE_DIR} ${dir})
    string(REPLACE "/" "_" folder "${folder}")
    foreach(src ${tests})
        get_filename_component(stem ${src} NAME_WE)
        set(name ${folder}_${stem})
        add_executable(${name} ${src})
        add_dependencies(${name} corvana_programs)
        target_link_libraries(${name} PRIVATE ${arg_LINK})
        if(stem IN_LIST arg_UNIT)
            target_link_libraries(${name} PRIVATE corvana_unit_test_main)
            add_test(NAME ${name} COMMAND $<TARGET_FILE:${name}>)
            set_tests_properties(${name} PROPERTIES LABELS unit)
        else()
            target_link_libraries(${name} PRIVATE corvana_test_main)
            add_test(NAME ${name} COMMAND ${CORVANA_SANDBOX} $<TARGET_FILE:${name}>)
            set_tests_properties(${name} PROPERTIES LABELS system)
        endif()
        set(seconds 60)
        list(FIND arg_TIMEOUTS ${stem} at)
        if(at GREATER -1)
            math(EXPR at "${at} + 1")
            list(GET arg_TIMEOUTS ${at} seconds)
        endif()
        corvana_test_timeout(${name} ${seconds})
    endforeach()
    foreach(stem ${arg_UNIT})
        if(NOT EXISTS ${dir}/${stem}.cpp)
            message(FATAL_ERROR "corvana_add_tests: no ${stem}.cpp in ${dir}")
        endif()
    endforeach()
endfunction()

# corvana_add_fuzzers(DIR LINK lib...)
function(corvana_add_fuzzers dir)
    if(NOT CORVANA_FUZZ OR NOT BUILD_TESTING)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LINK")
    file(GLOB fuzzers CONFIGURE_DEPENDS ${dir}/*_fuzz.cpp)
    foreach(src ${fuzzers})
        get_filename_component(stem ${src} NAME_WE)
        add_executable(${stem} ${src})
        target_compile_options(${stem} PRIVATE -fsanitize=fuzzer)
        target_link_options(${stem} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${stem} PRIVATE ${arg_LINK})
        set_property(GLOBAL APPEND PROPERTY CORVANA_FUZZERS ${stem})
    endforeach()
endfunction()
