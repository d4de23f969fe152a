#pragma once

namespace installer {
// The disk's first sector: the installer's boot code goes into its first 446 bytes, the
// partition table and signature after them are left to the partitioning tool.

// 184 bytes assembled from disk/boot_code.S: code, the two messages, zero padding.
extern const unsigned char bootCode[184];

bool readBootRecord(const char* device, unsigned char (&sector)[512]);
bool writeBootRecord(const char* device, const unsigned char (&sector)[512]);
// Puts the boot code into bytes 0-183 and clears 184-445; bytes 446-511 stay as they were.
bool installBootCode(const char* device);

} // namespace installer
