# installer_test(NAME SOURCES a_test.cpp ... LIBS lib ... [LABELS label ...])
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
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} installer_test_main GTest::gtest GTest::gmock)
    # Where this checkout and its build are, for tests that read keys, tools or fixtures.
    target_compile_definitions(${name} PRIVATE INSTALLER_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                               INSTALLER_BINARY_DIR="${CMAKE_BINARY_DIR}")
    set(properties TIMEOUT 900)
    if(T_LABELS)
        list(APPEND properties LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${properties})
endfunction()

# installer_vm_test(NAME SOURCES ... LIBS ...): a test that boots the boot media's kernel in
# the virtual machine of testbed/vm.h; labelled "vm" (ctest -L vm runs just these).
set(INSTALLER_VM_KERNEL "" CACHE FILEPATH "Kernel the VM tests boot (default: the boot media's)")
set(INSTALLER_VM_BOOT_IMAGE "" CACHE FILEPATH
    "Boot image the VM tests lay their files over (default: the boot media's)")
function(installer_vm_test name)
    if(INSTALLER_TARGET)
        return()
    endif()
    installer_test(${name} ${ARGN} LABELS vm)
    target_link_libraries(${name} PRIVATE installer_vm)
    target_compile_definitions(${name} PRIVATE
        INSTALLER_VM_KERNEL="${INSTALLER_VM_KERNEL}"
        INSTALLER_VM_BOOT_IMAGE="${INSTALLER_VM_BOOT_IMAGE}"
        INSTALLER32_VM_SCENARIO="${INSTALLER32_VM_SCENARIO}")
    add_dependencies(${name} installer32)
endfunction()
