# installer_test(NAME SOURCES a_test.cpp ... LIBS lib ...)
# One GoogleTest executable; its cases are registered with CTest one by one. Every test binary
# starts in testbed/test_main.cpp, which gives up the capabilities to restart the machine and to
# load kernel modules before any test runs.
include(GoogleTest)
if(NOT INSTALLER_TARGET)
    find_package(GTest REQUIRED)
endif()

function(installer_test name)
    if(INSTALLER_TARGET)
        return()
    endif()
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} installer_test_main GTest::gtest GTest::gmock)
    # Where this checkout and its build are, for tests that read keys, tools or fixtures.
    target_compile_definitions(${name} PRIVATE INSTALLER_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                               INSTALLER_BINARY_DIR="${CMAKE_BINARY_DIR}")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 900)
endfunction()
