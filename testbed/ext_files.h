#pragma once
// Looking into disk images after a run: the DOS partition table of the first sector, the
// ext2/ext3 file systems in its partitions checked with e2fsck and their files read with debugfs
// (nothing is mounted, no loop device is needed).
#include <cstdint>
#include <string>

// Byte offset and size of primary partition number (1..4) of image. False when the first
// sector cannot be read or the entry is empty.
bool partitionExtent(const std::string& image, int number, uint64_t& offset, uint64_t& size);

// Reads path from the file system starting at byte offset of image into contents. False with
// a message in error when the file system or the file is not there.
bool readExtFile(const std::string& image, uint64_t offset, const std::string& path,
                 std::string& contents, std::string* error = nullptr);

// Runs one debugfs request (for example "ls -l /var/pdb") on that file system; its output.
bool debugfsRequest(const std::string& image, uint64_t offset, const std::string& request,
                    std::string& output, std::string* error = nullptr);

// The partition table as this machine's sfdisk dumps it ("sfdisk -d image").
bool partitionTableDump(const std::string& image, std::string& dump, std::string* error = nullptr);

// e2fsck -fn on the file system at byte offset of image: true when it finds nothing wrong;
// report holds what it said.
bool extFileSystemClean(const std::string& image, uint64_t offset, std::string& report);
