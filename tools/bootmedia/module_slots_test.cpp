#include "tools/bootmedia/module_slots.h"

#include "testbed/support/scratch_files.h"

#include <cstring>
#include <elf.h>
#include <gtest/gtest.h>

using namespace bootmedia;

namespace {

// A kernel with a SCSI core that needs a helper the lists never name, a disk driver that needs
// a checksum module, and a file system with a dependency chain; "old" lists paths it lacks.
ModuleSet sampleKernel() {
    return {
        {"scsi_common", {"kernel/drivers/scsi/scsi_common.ko", {}}},
        {"scsi_mod", {"kernel/drivers/scsi/scsi_mod.ko", {"scsi_common"}}},
        {"crc_t10dif", {"kernel/lib/crc-t10dif.ko", {}}},
        {"sd_mod", {"kernel/drivers/scsi/sd_mod.ko", {"scsi_mod", "crc-t10dif"}}},
        {"jbd2", {"kernel/fs/jbd2/jbd2.ko", {}}},
        {"ext4", {"kernel/fs/ext4/ext4.ko", {"jbd2"}}},
        {"usb_common", {"kernel/drivers/usb/common/usb-common.ko", {}}},
        {"usbcore", {"kernel/drivers/usb/core/usbcore.ko", {"usb-common"}}},
    };
}

SlotRequest sampleLists() {
    return {{"kernel/fs/ext2/ext2.ko", "kernel/drivers/ide/ide-core.ko",
             "kernel/drivers/scsi/scsi_mod.ko", "kernel/drivers/ide/piix.ko",
             "kernel/drivers/scsi/sd_mod.ko", "kernel/drivers/ata/pata_old.ko",
             "kernel/drivers/usb/usb-common.ko", "kernel/drivers/usb/core/usbcore.ko"},
            {"scsi_common", "crc-t10dif", "jbd2", "ext4", "usb-common"}};
}

std::string slotOf(const std::vector<Placement>& plan, const std::string& module) {
    for (const Placement& placement : plan)
        if (moduleKey(placement.module) == moduleKey(module))
            return placement.slot;
    return "";
}

} // namespace

TEST(ModuleSlots, ExtrasFillFreeSlotsAfterWhatTheyNeedAndMovedModulesGoHome) {
    std::vector<Placement> plan;
    std::string error;
    ASSERT_TRUE(planSlots(sampleKernel(), sampleLists(), plan, error)) << error;
    EXPECT_EQ(slotOf(plan, "scsi_common"), "kernel/fs/ext2/ext2.ko");
    EXPECT_EQ(slotOf(plan, "crc-t10dif"), "kernel/drivers/ide/ide-core.ko");
    EXPECT_EQ(slotOf(plan, "scsi_mod"), "kernel/drivers/scsi/scsi_mod.ko");
    EXPECT_EQ(slotOf(plan, "jbd2"), "kernel/drivers/ide/piix.ko");
    // ext4 needs jbd2, so the next free slot after piix, not the first free one.
    EXPECT_EQ(slotOf(plan, "ext4"), "kernel/drivers/ata/pata_old.ko");
    // usb-common moved in this kernel: it goes back to its old path, not to any free slot.
    EXPECT_EQ(slotOf(plan, "usb-common"), "kernel/drivers/usb/usb-common.ko");
    for (const Placement& placement : plan) {
        EXPECT_EQ(placement.ownPath, placement.slot == placement.source) << placement.slot;
        if (placement.module == "ext4") {
            EXPECT_EQ(placement.source, "kernel/fs/ext4/ext4.ko");
        }
    }
    EXPECT_EQ(plan.size(), 8u);
}

TEST(ModuleSlots, PlansThatCannotLoadAreRefusedNamingTheModule) {
    std::vector<Placement> plan;
    std::string error;

    SlotRequest missing = sampleLists();
    missing.extras.push_back("vfat");
    EXPECT_FALSE(planSlots(sampleKernel(), missing, plan, error));
    EXPECT_NE(error.find("no module vfat"), std::string::npos) << error;

    // ext4 before jbd2: its dependency is on no slot yet.
    SlotRequest order = sampleLists();
    order.extras = {"scsi_common", "crc-t10dif", "ext4", "jbd2", "usb-common"};
    EXPECT_FALSE(planSlots(sampleKernel(), order, plan, error));
    EXPECT_NE(error.find("ext4 needs jbd2"), std::string::npos) << error;

    // Without scsi_common the list's own scsi_mod cannot load.
    SlotRequest lacking = sampleLists();
    lacking.extras = {"crc-t10dif", "jbd2", "ext4", "usb-common"};
    EXPECT_FALSE(planSlots(sampleKernel(), lacking, plan, error));
    EXPECT_NE(error.find("scsi_mod"), std::string::npos) << error;
    EXPECT_NE(error.find("scsi_common"), std::string::npos) << error;

    // A dependency whose only free slot lies behind the module that needs it.
    SlotRequest late = sampleLists();
    late.lists = {"kernel/drivers/scsi/scsi_mod.ko", "kernel/fs/ext2/ext2.ko"};
    late.extras = {"scsi_common"};
    EXPECT_FALSE(planSlots(sampleKernel(), late, plan, error));
    EXPECT_NE(error.find("loads after it"), std::string::npos) << error;

    // More extras than free slots.
    SlotRequest full = sampleLists();
    full.lists.resize(5);
    EXPECT_FALSE(planSlots(sampleKernel(), full, plan, error));
    EXPECT_NE(error.find("no free slot"), std::string::npos) << error;
}

TEST(ModuleSlots, TheStartUpModuleMustStandAlone) {
    ModuleSet modules = sampleKernel();
    modules["e1000"] = {"kernel/drivers/net/ethernet/intel/e1000/e1000.ko", {}};
    Placement nic;
    std::string error;
    ASSERT_TRUE(planSingle(modules, "drivers/net/atl1c.ko", "e1000", nic, error)) << error;
    EXPECT_EQ(nic.slot, "drivers/net/atl1c.ko");
    EXPECT_EQ(nic.source, "kernel/drivers/net/ethernet/intel/e1000/e1000.ko");
    EXPECT_FALSE(nic.ownPath);
    EXPECT_FALSE(planSingle(modules, "drivers/net/atl1c.ko", "sd_mod", nic, error));
    EXPECT_NE(error.find("loaded alone"), std::string::npos) << error;
    EXPECT_FALSE(planSingle(modules, "drivers/net/atl1c.ko", "r8169", nic, error));
}

namespace {

// A minimal relocatable ELF object: null section, .shstrtab, .modinfo.
std::string elfWithModinfo(const std::string& modinfo) {
    const std::string names = std::string("\0.shstrtab\0.modinfo\0", 20);
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_type = ET_REL;
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;
    header.e_shstrndx = 1;
    size_t namesAt = sizeof header, infoAt = namesAt + names.size();
    header.e_shoff = infoAt + modinfo.size();
    Elf64_Shdr sections[3]{};
    sections[1] = {1, SHT_STRTAB, 0, 0, namesAt, names.size(), 0, 0, 1, 0};
    sections[2] = {11, SHT_PROGBITS, 0, 0, infoAt, modinfo.size(), 0, 0, 1, 0};
    std::string image(reinterpret_cast<const char*>(&header), sizeof header);
    image += names + modinfo;
    image.append(reinterpret_cast<const char*>(sections), sizeof sections);
    return image;
}

} // namespace

TEST(ModuleSlots, DependenciesComeFromTheModinfoSection) {
    ScratchFiles files("modinfo");
    std::vector<std::string> dependencies;
    std::string error;
    std::string info = std::string("license=GPL\0depends=scsi_mod,crc-t10dif\0name=sd_mod\0", 52);
    ASSERT_TRUE(
        readModuleDependencies(files.text("sd_mod.ko", elfWithModinfo(info)), dependencies, error))
        << error;
    EXPECT_EQ(dependencies, (std::vector<std::string>{"scsi_mod", "crc-t10dif"}));

    std::string none = std::string("depends=\0name=cdrom\0", 20);
    ASSERT_TRUE(
        readModuleDependencies(files.text("cdrom.ko", elfWithModinfo(none)), dependencies, error));
    EXPECT_TRUE(dependencies.empty());

    // A compressed module, a cut-off section table and a section beyond the end are refused.
    EXPECT_FALSE(readModuleDependencies(files.text("x.ko", "\xfd"
                                                           "7zXZ"),
                                        dependencies, error));
    EXPECT_NE(error.find("compressed"), std::string::npos) << error;
    std::string image = elfWithModinfo(info);
    EXPECT_FALSE(readModuleDependencies(files.text("cut.ko", image.substr(0, image.size() - 10)),
                                        dependencies, error));
    Elf64_Shdr far{};
    far.sh_name = 11;
    far.sh_type = SHT_PROGBITS;
    far.sh_offset = image.size() * 2;
    far.sh_size = 16;
    image.replace(image.size() - sizeof far, sizeof far,
                  std::string(reinterpret_cast<const char*>(&far), sizeof far));
    EXPECT_FALSE(readModuleDependencies(files.text("far.ko", image), dependencies, error));
}
