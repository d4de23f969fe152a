#include "network/image_store.h"

#include "package/format/format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace installer {

ImageFile::~ImageFile() {
    if (fd >= 0)
        ::close(fd);
}

bool ImageFile::open() {
    fd = ::open(imagePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    setp(buffer, buffer + sizeof buffer);
    return true;
}

bool ImageFile::flush() {
    const char* data = pbase();
    size_t left = size_t(pptr() - pbase());
    if (written < sizeof header) {
        size_t take = std::min<size_t>(left, sizeof header - size_t(written));
        std::memcpy(header + written, data, take);
    }
    written += left;
    while (left > 0 && !failed) {
        ssize_t done = ::write(fd, data, left);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            failed = true;
            error = done < 0 ? errno : 0;
            break;
        }
        data += done;
        left -= size_t(done);
    }
    setp(buffer, buffer + sizeof buffer);
    return !failed;
}

ImageFile::int_type ImageFile::overflow(int_type c) {
    if (fd < 0 || !flush())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int ImageFile::sync() {
    return fd >= 0 && flush() ? 0 : -1;
}

bool ImageFile::close() {
    if (fd < 0)
        return false;
    bool complete = flush();
    if (::close(fd) != 0) {
        if (complete)
            error = errno;
        complete = false;
    }
    fd = -1;
    // A reader that stopped early leaves a copy shorter than the file it came from.
    uint64_t declared = written >= sizeof header ? uint64_t(loadLe32(header + 4)) + 8 : 0;
    return complete && declared == written;
}

bool keepImage(const std::string& databaseDirectory) {
    // An image left from an earlier installation of the name is not this package's.
    std::string target = databaseDirectory + "image";
    unlink(target.c_str());
    return link(imagePath, target.c_str()) == 0;
}

void discardImage() {
    unlink(imagePath);
}

} // namespace installer
