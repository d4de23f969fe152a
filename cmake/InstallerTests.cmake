# installer_test(NAME SOURCES a_test.cpp ... LIBS lib ... LABELS label ... [ROOT_CASES filter])
# One GoogleTest executable; its cases are registered with CTest one by one. Every test binary
# starts in testbed/test_main.cpp, which gives up the capabilities to restart the machine and to
# load kernel modules before any test runs.
# LABELS holds exactly one of the labels below, for what every case of the binary needs (a
# binary whose cases need different things is split, or names the few cases that need root in
# ROOT_CASES, a GoogleTest filter such as "Suite.*:Other.Case", which then get the label root).
#   unit     nothing: no root, no namespaces, fast
#   root     root, for private mount or network namespaces, chroot or loop devices of its own
#   sandbox  root and the sandbox: the real installer or a scenario as process 1 (testbed/sandbox.h)
#   vm       QEMU and the boot media's kernel (installer_vm_test)
set(INSTALLER_TEST_KINDS unit root sandbox vm)
include(GoogleTest)
if(NOT INSTALLER_TARGET)
    find_package(GTest REQUIRED)
endif()

function(installer_test name)
    if(INSTALLER_TARGET)
        return()
    endif()
    cmake_parse_arguments(T "" "ROOT_CASES" "SOURCES;LIBS;LABELS" ${ARGN})
    set(kinds ${T_LABELS})
    list(FILTER kinds INCLUDE REGEX "^(unit|root|sandbox|vm)$")
    list(LENGTH kinds count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "${name}: LABELS needs exactly one of ${INSTALLER_TEST_KINDS}, "
                            "has '${T_LABELS}'")
    endif()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} installer_test_main GTest::gtest GTest::gmock)
    # Where this checkout and its build are, for tests that read keys, tools or fixtures.
    target_compile_definitions(${name} PRIVATE INSTALLER_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                               INSTALLER_BINARY_DIR="${CMAKE_BINARY_DIR}")
    set(properties TIMEOUT 900 LABELS "${T_LABELS}")
    # A virtual machine keeps a core busy for its whole run, where the other kinds mostly wait
    # on the sandbox: it takes two of ctest's slots, so that "-j" twice the cores (as ./test
    # runs) starts as many machines at once as there are cores.
    if(kinds STREQUAL "vm")
        list(APPEND properties PROCESSORS 2)
    endif()
    if(T_ROOT_CASES)
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                             TEST_FILTER "-${T_ROOT_CASES}" PROPERTIES ${properties})
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                             TEST_FILTER "${T_ROOT_CASES}" PROPERTIES TIMEOUT 900 LABELS root)
    else()
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                             PROPERTIES ${properties})
    endif()
endfunction()

# installer_vm_test(NAME SOURCES ... LIBS ...): a test that boots the boot media's kernel in
# the virtual machine of testbed/vm.h; labelled "vm" (ctest -L vm runs just these).
# Without INSTALLER_VM_TESTS (on by default) they are not built, and the build fetches no kernel.
option(INSTALLER_VM_TESTS "Build the tests that boot the media's kernel in QEMU" ON)
set(INSTALLER_VM_KERNEL "" CACHE FILEPATH "Kernel the VM tests boot (default: build/vm/vmlinux)")
set(INSTALLER_VM_BOOT_IMAGE "" CACHE FILEPATH
    "Boot image the VM tests lay their files over (default: build/vm/boot.img)")
function(installer_vm_test name)
    if(INSTALLER_TARGET OR NOT INSTALLER_VM_TESTS)
        return()
    endif()
    set(kernel ${INSTALLER_VM_KERNEL})
    set(image ${INSTALLER_VM_BOOT_IMAGE})
    if(NOT kernel)
        set(kernel ${CMAKE_BINARY_DIR}/vm/vmlinux)
    endif()
    if(NOT image)
        set(image ${CMAKE_BINARY_DIR}/vm/boot.img)
    endif()
    installer_test(${name} ${ARGN} LABELS vm)
    target_link_libraries(${name} PRIVATE installer_vm)
    target_compile_definitions(${name} PRIVATE INSTALLER_VM_KERNEL="${kernel}"
        INSTALLER_VM_BOOT_IMAGE="${image}" INSTALLER32_VM_SCENARIO="${INSTALLER32_VM_SCENARIO}")
    add_dependencies(${name} installer32 vm_boot_files)
endfunction()
