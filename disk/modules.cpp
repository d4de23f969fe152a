#include "disk/modules.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

namespace installer {

// Dependencies are not resolved: every entry relies on the modules it needs coming earlier.
const char* const storageModules[] = {
    "kernel/fs/ext2/ext2.ko",
    "kernel/fs/ext3/ext3.ko",
    "kernel/drivers/ide/ide-core.ko",
    "kernel/drivers/ide/ide-generic.ko",
    "kernel/drivers/ide/ide-gd_mod.ko",
    "kernel/drivers/ide/cmd64x.ko",
    "kernel/drivers/ide/rz1000.ko",
    "kernel/drivers/ide/via82cxxx.ko",
    "kernel/drivers/ide/cs5530.ko",
    "kernel/drivers/ide/piix.ko",
    "kernel/drivers/ide/sc1200.ko",
    "kernel/drivers/cdrom/cdrom.ko",
    "kernel/drivers/ide/ide-cd_mod.ko",
    "kernel/drivers/scsi/scsi_mod.ko",
    "kernel/drivers/scsi/scsi_wait_scan.ko",
    "kernel/drivers/scsi/sd_mod.ko",
    "kernel/drivers/scsi/sr_mod.ko",
    "kernel/drivers/ata/libata.ko",
    "kernel/drivers/ata/libahci.ko",
    "kernel/drivers/ata/ahci.ko",
    "kernel/drivers/ata/ata_piix.ko",
    "kernel/drivers/ata/pata_ali.ko",
    "kernel/drivers/ata/pata_amd.ko",
    "kernel/drivers/ata/pata_artop.ko",
    "kernel/drivers/ata/pata_atiixp.ko",
    "kernel/drivers/ata/pata_atp867x.ko",
    "kernel/drivers/ata/pata_cmd640.ko",
    "kernel/drivers/ata/pata_cmd64x.ko",
    "kernel/drivers/ata/pata_cs5520.ko",
    "kernel/drivers/ata/pata_cs5530.ko",
    "kernel/drivers/ata/pata_cs5535.ko",
    "kernel/drivers/ata/pata_cs5536.ko",
    "kernel/drivers/ata/pata_cypress.ko",
    "kernel/drivers/ata/pata_efar.ko",
    "kernel/drivers/ata/pata_hpt366.ko",
    "kernel/drivers/ata/pata_hpt37x.ko",
    "kernel/drivers/ata/pata_hpt3x2n.ko",
    "kernel/drivers/ata/pata_hpt3x3.ko",
    "kernel/drivers/ata/pata_it8213.ko",
    "kernel/drivers/ata/pata_it821x.ko",
    "kernel/drivers/ata/pata_jmicron.ko",
    "kernel/drivers/ata/pata_marvell.ko",
    "kernel/drivers/ata/pata_mpiix.ko",
    "kernel/drivers/ata/pata_netcell.ko",
    "kernel/drivers/ata/pata_ns87410.ko",
    "kernel/drivers/ata/pata_ns87415.ko",
    "kernel/drivers/ata/pata_oldpiix.ko",
    "kernel/drivers/ata/pata_pdc2027x.ko",
    "kernel/drivers/ata/pata_serverworks.ko",
    "kernel/drivers/ata/pata_sil680.ko",
    "kernel/drivers/ata/pata_sis.ko",
    "kernel/drivers/ata/pata_sl82c105.ko",
    "kernel/drivers/ata/pata_via.ko",
    "kernel/drivers/ata/pdc_adma.ko",
    "kernel/drivers/ata/sata_inic162x.ko",
    "kernel/drivers/ata/sata_mv.ko",
    "kernel/drivers/ata/sata_nv.ko",
    "kernel/drivers/ata/sata_promise.ko",
    "kernel/drivers/ata/sata_qstor.ko",
    "kernel/drivers/ata/sata_sil24.ko",
    "kernel/drivers/ata/sata_sil.ko",
    "kernel/drivers/ata/sata_sis.ko",
    "kernel/drivers/ata/sata_svw.ko",
    "kernel/drivers/ata/sata_sx4.ko",
    "kernel/drivers/ata/sata_uli.ko",
    "kernel/drivers/ata/sata_via.ko",
    "kernel/drivers/ata/sata_vsc.ko",
    "kernel/drivers/ide/ide-pci-generic.ko",
    "kernel/drivers/ata/ata_generic.ko",
    "kernel/drivers/scsi/3w-9xxx.ko",
    "kernel/drivers/scsi/3w-xxxx.ko",
    "kernel/drivers/scsi/arcmsr/arcmsr.ko",
    "kernel/drivers/scsi/megaraid.ko",
    "kernel/drivers/scsi/megaraid/megaraid_sas.ko",
    "kernel/drivers/scsi/hpsa.ko",
    nullptr,
};

const char* const usbModules[] = {
    "kernel/drivers/usb/usb-common.ko",          "kernel/drivers/usb/core/usbcore.ko",
    "kernel/drivers/usb/host/ehci-hcd.ko",       "kernel/drivers/usb/host/uhci-hcd.ko",
    "kernel/drivers/usb/host/ohci-hcd.ko",       "kernel/drivers/hid/usbhid/usbhid.ko",
    "kernel/drivers/usb/storage/usb-storage.ko", nullptr,
};

namespace {

// The module is handed to the kernel straight from a read-only mapping, never copied.
int initModuleFromFile(int fd, const char* path) {
    struct stat st;
    void* image = MAP_FAILED;
    if (fstat(fd, &st) == 0)
        image = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (image == MAP_FAILED) {
        std::printf("ERROR: could not load module %s\n", path);
        return -1;
    }
    long result = syscall(SYS_init_module, image, static_cast<unsigned long>(st.st_size), "");
    munmap(image, static_cast<size_t>(st.st_size));
    return static_cast<int>(result);
}

} // namespace

int loadModule(const char* path) {
    utsname system;
    if (uname(&system) != 0)
        return -1;
    char fullPath[512];
    int length =
        std::snprintf(fullPath, sizeof fullPath, "/lib/modules/%s/%s", system.release, path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof fullPath)
        return -1;
    // A module missing from the boot image is normal and not worth a word.
    int fd = open(fullPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int result = initModuleFromFile(fd, path);
    close(fd);
    return result;
}

void loadModuleList(const char* const* list) {
    for (; *list != nullptr; ++list)
        loadModule(*list);
}

} // namespace installer
