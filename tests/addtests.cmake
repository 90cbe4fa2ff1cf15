# Run by CTest: one test per row of a Qt Test suite (per function where it
# has no rows), found by asking the suite itself, so that no list is kept by
# hand and the rows run side by side.
# Set by the caller: cmake, suite, exe, environment (a list of NAME=value),
# timeout.
execute_process(COMMAND ${cmake} -E env ${environment} ${exe} -datatags
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    add_test(${suite}-listing ${exe} -datatags)
    return()
endif()
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[^ ]+ ([^ ]+)( (.*))?$")
        continue()
    endif()
    set(function ${CMAKE_MATCH_1})
    set(row "${CMAKE_MATCH_3}")
    if(row STREQUAL "")
        set(name ${suite}/${function})
        set(selector ${function})
    else()
        set(name "${suite}/${function}/${row}")
        set(selector "${function}:${row}")
    endif()
    add_test("${name}" ${exe} "${selector}")
    # A row that does not apply here (QSKIP) shows as skipped, not passed.
    set_tests_properties("${name}" PROPERTIES TIMEOUT ${timeout} ENVIRONMENT "${environment}"
                         SKIP_REGULAR_EXPRESSION "\nSKIP   : ")
endforeach()
