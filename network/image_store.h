// The image of a package: the raw bytes the installer child consumed, written to
// "/flash/image" while the package is installed, then kept as "image" in the package's
// database directory when its record asks for that, and never left behind in "/flash".
#pragma once

#include "package/record/record_root.h"

#include <cstdint>
#include <streambuf>
#include <string>

namespace installer {

inline constexpr TargetPath imageFile{"/image"};
inline constexpr const char* imagePath = imageFile;

// The copy target of the package reader. Writes are buffered; a write that fails is
// remembered, so that a short image is never kept.
class ImageFile : public std::streambuf {
public:
    ImageFile() = default;
    ~ImageFile() override;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Creates or truncates the image file.
    bool open();
    // Writes what is buffered and closes. True when every byte reached the file and the
    // file holds exactly one whole package file (as long as its file header says).
    bool close();
    // The error number of the first failed write or close; 0 when none failed.
    int failure() const { return error; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool flush();

    int fd = -1;
    bool failed = false;
    int error = 0;
    uint64_t written = 0;
    unsigned char header[8] = {};
    char buffer[65536];
};

// Links the image as "image" into `databaseDirectory` (which ends in "/").
bool keepImage(const std::string& databaseDirectory);
// Removes "/flash/image"; nothing happens when there is none.
void discardImage();

} // namespace installer
