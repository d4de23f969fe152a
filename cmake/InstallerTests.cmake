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
