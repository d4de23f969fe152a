installer_test(bootmedia_test LABELS unit
    SOURCES module_slots_test.cpp newc_test.cpp options_test.cpp
               LIBS bootmedia_core)
installer_test(bootmedia_cli_test LABELS unit SOURCES bootmedia_cli_test.cpp)
target_compile_definitions(bootmedia_cli_test PRIVATE BOOTMEDIA="$<TARGET_FILE:bootmedia>")
add_dependencies(bootmedia_cli_test bootmedia)

# Builds boot images and all three media from the real kernel (fetched into the cache on first
# use, into a cache of root's) and reads them back.
installer_test(bootmedia_media_test LABELS root SOURCES media_test.cpp LIBS bootmedia_core)
target_compile_definitions(bootmedia_media_test PRIVATE
    BOOTMEDIA="$<TARGET_FILE:bootmedia>" BOOTMEDIA_KERNEL_CACHE="${BOOTMEDIA_KERNEL_CACHE}"
    INSTALLER32_BINARY_PATH="${INSTALLER32_BINARY}" SFDISK_TOOL="${SFDISK_TOOL_BINARY}"
    RPX_TOOL="$<TARGET_FILE:rpx>"
    BOOT_CODE_FILE="${CMAKE_BINARY_DIR}/generated/disk/boot_code_bytes.bin")
add_dependencies(bootmedia_media_test bootmedia installer32 bootimage_sfdisk samples rpx
                 installer_disk)
