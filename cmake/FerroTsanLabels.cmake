# The ThreadSanitizer run's choice of tests. Included by ctest (tests/<build>/
# <program>_tests_tsan.cmake, once the program's discovered tests are known): gives the
# label "tsan" to the tests the patterns name and adds <program>_tsan_suites_exist, labelled
# too, which fails for a pattern that names no test. Set before: _patterns (gtest names, "*"
# for any ending), _program, _tests, _cmake and _self (this file).
#
# Run as a script (cmake -DPROGRAM=... -DMISSING=... -P) it is that failing check.
if(CMAKE_SCRIPT_MODE_FILE)
    message(FATAL_ERROR "No test of ${PROGRAM} matches ${MISSING}: a threaded suite was renamed or removed; "
                        "update its pattern in tests/CMakeLists.txt")
endif()

set(_tsan_tests "")
set(_tsan_missing "")
foreach(_pattern IN LISTS _patterns)
    string(REPLACE "." "\\." _regex "${_pattern}")
    string(REPLACE "*" ".*" _regex "${_regex}")
    set(_found FALSE)
    foreach(_test IN LISTS _tests)
        if(_test MATCHES "^${_regex}$")
            list(APPEND _tsan_tests "${_test}")
            set(_found TRUE)
        endif()
    endforeach()
    if(NOT _found)
        list(APPEND _tsan_missing "${_pattern}")
    endif()
endforeach()
if(_tsan_tests)
    list(REMOVE_DUPLICATES _tsan_tests)
    set_tests_properties(${_tsan_tests} PROPERTIES LABELS tsan)
endif()
if(_tsan_missing)
    string(REPLACE ";" " " _tsan_missing "${_tsan_missing}")
    add_test("${_program}_tsan_suites_exist" "${_cmake}" "-DPROGRAM=${_program}" "-DMISSING=${_tsan_missing}"
             -P "${_self}")
else()
    add_test("${_program}_tsan_suites_exist" "${_cmake}" -E true)
endif()
set_tests_properties("${_program}_tsan_suites_exist" PROPERTIES LABELS tsan)
