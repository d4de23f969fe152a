# The media made from the sample packages, in <build>/media/: not part of `all` because the
# first run fetches the kernel package (about 70 MB) over the network. `cmake --build build
# --target media` makes them; the VM tests depend on this target. They are serial-console media
# (what the VM harness drives); `bootmedia cd|disk|net` without --serial makes screen media.
set(BOOTMEDIA_KERNEL_CACHE /var/cache/installer-bootmedia CACHE PATH
    "Where bootmedia keeps the fetched and unpacked kernel package")
set(media ${CMAKE_BINARY_DIR}/media)
set(samples ${CMAKE_BINARY_DIR}/samples)
set(packages ${samples}/system.rpx ${samples}/routing.rpx ${samples}/extras.rpx)
set(bootmedia $<TARGET_FILE:bootmedia>)
set(cache --kernel-cache ${BOOTMEDIA_KERNEL_CACHE})
set(image ${cache} --installer ${INSTALLER32_BINARY} --sfdisk ${SFDISK_TOOL_BINARY} --serial)
set(tools bootmedia installer32 bootimage_sfdisk samples rpx installer_disk)

add_custom_command(OUTPUT ${media}/vmlinux ${media}/vmlinuz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${media}
    COMMAND ${bootmedia} kernel ${cache} --vmlinux ${media}/vmlinux --vmlinuz ${media}/vmlinuz
    DEPENDS bootmedia
    COMMENT "Kernel for the media (fetched once into ${BOOTMEDIA_KERNEL_CACHE})"
    VERBATIM)
add_custom_command(OUTPUT ${media}/cdrom.iso
    COMMAND ${bootmedia} cd ${image} --output ${media}/cdrom.iso ${packages}
    DEPENDS ${tools} ${packages} ${media}/vmlinux
    COMMENT "CD medium ${media}/cdrom.iso"
    VERBATIM)
add_custom_command(OUTPUT ${media}/hdd.img
    COMMAND ${bootmedia} disk ${image} --output ${media}/hdd.img
            --boot-code ${CMAKE_BINARY_DIR}/generated/disk/boot_code_bytes.bin ${packages}
    DEPENDS ${tools} ${packages} ${media}/vmlinux
    COMMENT "Hard-disk medium ${media}/hdd.img"
    VERBATIM)
add_custom_command(OUTPUT ${media}/net/tftp/initrd.gz ${media}/net/drivers.rpx
    COMMAND ${bootmedia} net ${image} --output ${media}/net --key ${CMAKE_SOURCE_DIR}/keys/dev.sec
            --rpx $<TARGET_FILE:rpx>
    DEPENDS ${tools} ${CMAKE_SOURCE_DIR}/keys/dev.sec ${media}/vmlinux
    COMMENT "Network boot set ${media}/net"
    VERBATIM)
add_custom_target(media DEPENDS ${media}/vmlinux ${media}/cdrom.iso ${media}/hdd.img
                                ${media}/net/tftp/initrd.gz)
