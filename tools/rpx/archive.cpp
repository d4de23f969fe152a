#include "tools/rpx/archive.h"

#include "package/format/writer.h"

#include <cerrno>
#include <cstring>
#include <zlib.h>

namespace rpx {

namespace {

class Deflater {
public:
    Deflater(std::FILE* out) : out(out) {
        // Fixed level, window and memory settings: the output depends only on the input.
        ok = deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ok)
            deflateEnd(&z);
    }
    bool write(const void* data, size_t size) { return pump(data, size, Z_NO_FLUSH); }
    bool finish() { return pump(nullptr, 0, Z_FINISH); }
    uint64_t written = 0;
    bool ok = false;

private:
    bool pump(const void* data, size_t size, int flush) {
        if (!ok)
            return false;
        z.next_in = static_cast<Bytef*>(const_cast<void*>(data));
        z.avail_in = uInt(size);
        int result;
        do {
            unsigned char buffer[16384];
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            result = deflate(&z, flush);
            if (result == Z_STREAM_ERROR)
                return ok = false;
            size_t produced = sizeof buffer - z.avail_out;
            if (produced && std::fwrite(buffer, 1, produced, out) != produced)
                return ok = false;
            written += produced;
        } while (z.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
        return true;
    }
    std::FILE* out;
    z_stream z{};
};

bool copyFile(const TreeEntry& entry, Deflater& deflater, std::string& error) {
    std::FILE* in = std::fopen(entry.source.c_str(), "rb");
    if (!in) {
        error = entry.source + ": " + std::strerror(errno);
        return false;
    }
    uint64_t left = entry.header.dataSize;
    char buffer[65536];
    bool ok = true;
    while (ok && left > 0) {
        size_t want = left < sizeof buffer ? size_t(left) : sizeof buffer;
        size_t got = std::fread(buffer, 1, want, in);
        if (got == 0) {
            error = entry.source + (std::ferror(in) ? ": read error" : ": shrank while being read");
            ok = false;
        } else if (!deflater.write(buffer, got)) {
            error = "cannot write the archive";
            ok = false;
        }
        left -= got;
    }
    if (ok && std::fgetc(in) != EOF) {
        error = entry.source + ": grew while being read";
        ok = false;
    }
    std::fclose(in);
    return ok;
}

} // namespace

bool writeArchive(const std::vector<TreeEntry>& entries, std::FILE* out, uint64_t& size,
                  std::string& error) {
    Deflater deflater(out);
    for (const auto& entry : entries) {
        std::string head = installer::fileEntryBytes(entry.header, entry.path);
        if (head.empty()) {
            error = entry.path + ": name too long";
            return false;
        }
        bool ok = deflater.write(head.data(), head.size());
        unsigned type = entry.header.mode & 0xF000;
        if (ok && type == 0xA000)
            ok = deflater.write(entry.linkTarget.data(), entry.linkTarget.size());
        if (ok && (type == 0x2000 || type == 0x6000)) {
            uint8_t device[4];
            installer::storeLe32(device, entry.device);
            ok = deflater.write(device, 4);
        }
        if (ok && type == 0x8000 && !copyFile(entry, deflater, error))
            return false;
        if (!ok) {
            error = "cannot write the archive";
            return false;
        }
    }
    if (!deflater.finish() || std::fflush(out) != 0) {
        error = "cannot write the archive";
        return false;
    }
    size = deflater.written;
    return true;
}

} // namespace rpx
