# Fails when a test of the build tree at BUILD_DIR is listed under a name a person cannot read:
# a parameter's bytes or type dumped into it, or a bare case number.
#   cmake -DCTEST=<ctest> -DBUILD_DIR=<build tree> -P check_case_names.cmake
execute_process(COMMAND "${CTEST}" -N --test-dir "${BUILD_DIR}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "ctest -N failed in ${BUILD_DIR}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(bad "")
set(count 0)
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^ *Test +#[0-9]+: (.*)$")
        continue()
    endif()
    math(EXPR count "${count} + 1")
    set(name "${CMAKE_MATCH_1}")
    if(name MATCHES "byte object|GetParam\\(\\)|TypeParam|/[0-9]+$|[ <>]")
        string(APPEND bad "  ${name}\n")
    endif()
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "no tests listed in ${BUILD_DIR}")
endif()
if(bad)
    message(FATAL_ERROR "test cases without a readable name (give the parameterised suite a "
                        "name generator):\n${bad}")
endif()
message(STATUS "${count} test names read well")
