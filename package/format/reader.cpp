#include "package/format/reader.h"

#include <algorithm>
#include <cstring>

namespace installer {

namespace {
constexpr size_t chunkSize = 4096;
} // namespace

PackageStreamBuffer::PackageStreamBuffer(std::streambuf* source, bool hashing, std::streambuf* tee)
    : source(source), tee(tee), hashing_(hashing) {}

void PackageStreamBuffer::consumed(const uint8_t* data, size_t count, bool hash) {
    // Bytes read again after a put-back were hashed and teed the first time.
    size_t again = std::min<size_t>(putBack, count);
    putBack -= uint32_t(again);
    data += again;
    count -= again;
    if (count == 0)
        return;
    if (tee && tee->sputn(reinterpret_cast<const char*>(data), std::streamsize(count)) !=
                   std::streamsize(count))
        teeFailed_ = true;
    if (hash && hashing_)
        hasher.update(data, count);
}

size_t PackageStreamBuffer::take(uint8_t* data, size_t count, bool hash) {
    count = std::min<uint64_t>(count, declaredEnd - taken);
    if (!source || count == 0)
        return 0;
    std::streamsize got = source->sgetn(reinterpret_cast<char*>(data), std::streamsize(count));
    size_t n = got > 0 ? size_t(got) : 0;
    taken += n;
    consumed(data, n, hash);
    return n;
}

bool PackageStreamBuffer::readFileHeader(uint8_t header[8]) {
    size_t n = take(header, fileHeaderSize, false);
    if (n < fileHeaderSize)
        return false;
    position_ += fileHeaderSize;
    return true;
}

void PackageStreamBuffer::finishDigest() {
    if (!hashing_)
        return;
    hasher.finish(digest);
    digestReady = true;
}

bool PackageStreamBuffer::takeDigest(uint8_t out[20]) {
    if (!digestReady)
        return false;
    std::memcpy(out, digest, sizeof digest);
    digestReady = false;
    return true;
}

bool PackageStreamBuffer::discard(uint32_t count) {
    uint8_t scratch[chunkSize];
    while (count > 0) {
        size_t want = std::min<size_t>(count, chunkSize);
        size_t got = take(scratch, want, true);
        remaining_ -= uint32_t(got);
        count -= uint32_t(got);
        if (got < want)
            return false;
    }
    return true;
}

bool PackageStreamBuffer::skip(uint32_t count) {
    if (count == 0)
        return true;
    if (count > declaredEnd - taken)
        return false;
    if (!hashing_ && !tee && source) {
        // Reposition to the part's last byte and read it: a length that claims more than the
        // input holds is found out here instead of being trusted.
        if (source->pubseekoff(off_type(count) - 1, std::ios_base::cur, std::ios_base::in) !=
            pos_type(off_type(-1))) {
            taken += count - 1;
            if (traits_type::eq_int_type(source->sbumpc(), traits_type::eof()))
                return false;
            ++taken;
            remaining_ -= count;
            return true;
        }
    }
    return discard(count);
}

int PackageStreamBuffer::nextPart() {
    if (remaining_ > 0 && !skip(remaining_)) {
        truncated_ = true;
        finishDigest();
        return -1;
    }
    position_ += partLength_;
    partLength_ = remaining_ = 0;
    uint8_t header[partHeaderSize];
    size_t n = take(header, partHeaderSize, false);
    if (n < partHeaderSize) {
        if (n > 0)
            truncated_ = true;
        else if (atDeclaredEnd() && source &&
                 !traits_type::eq_int_type(source->sgetc(), traits_type::eof()))
            overlong_ = true;
        finishDigest();
        return -1;
    }
    int kind = loadLe16(header);
    if (hashing_) {
        if (kind == partHeader)
            finishDigest();
        hasher.update(header, partHeaderSize);
    }
    position_ += partHeaderSize;
    partLength_ = remaining_ = loadLe32(header + 2);
    return kind;
}

bool PackageStreamBuffer::readSignatureBody(uint8_t body[68]) {
    if (!hashing_)
        return false;
    finishDigest();
    if (remaining_ < 68)
        return false;
    size_t got = take(body, 68, false);
    remaining_ -= uint32_t(got);
    if (got < 68) {
        truncated_ = true;
        return false;
    }
    return true;
}

std::streamsize PackageStreamBuffer::xsgetn(char_type* data, std::streamsize count) {
    if (count <= 0)
        return 0;
    size_t want = std::min<uint64_t>(uint64_t(count), remaining_);
    size_t got = take(reinterpret_cast<uint8_t*>(data), want, true);
    remaining_ -= uint32_t(got);
    if (got < want)
        truncated_ = true;
    return std::streamsize(got);
}

PackageStreamBuffer::int_type PackageStreamBuffer::underflow() {
    if (remaining_ == 0 || !source || atDeclaredEnd())
        return traits_type::eof();
    return source->sgetc();
}

PackageStreamBuffer::int_type PackageStreamBuffer::uflow() {
    if (remaining_ == 0 || !source)
        return traits_type::eof();
    int_type c = atDeclaredEnd() ? traits_type::eof() : source->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        truncated_ = true;
        return c;
    }
    ++taken;
    --remaining_;
    uint8_t byte = uint8_t(traits_type::to_char_type(c));
    consumed(&byte, 1, true);
    return c;
}

PackageStreamBuffer::int_type PackageStreamBuffer::pbackfail(int_type c) {
    if (remaining_ == partLength_ || !source)
        return traits_type::eof();
    int_type r = traits_type::eq_int_type(c, traits_type::eof())
                     ? source->sungetc()
                     : source->sputbackc(traits_type::to_char_type(c));
    if (traits_type::eq_int_type(r, traits_type::eof()))
        return r;
    --taken;
    if (hashing_ || tee)
        ++putBack;
    ++remaining_;
    return r;
}

std::streamsize PackageStreamBuffer::showmanyc() {
    if (remaining_ == 0 || !source)
        return -1;
    std::streamsize available = source->in_avail();
    if (available <= 0)
        return available;
    return std::streamsize(
        std::min<uint64_t>({uint64_t(available), remaining_, declaredEnd - taken}));
}

PackageStreamBuffer::pos_type PackageStreamBuffer::seekoff(off_type offset,
                                                           std::ios_base::seekdir dir,
                                                           std::ios_base::openmode which) {
    if (dir == std::ios_base::cur)
        offset += off_type(partLength_ - remaining_);
    else if (dir != std::ios_base::beg)
        return pos_type(off_type(-1));
    return seekpos(pos_type(offset), which);
}

PackageStreamBuffer::pos_type PackageStreamBuffer::seekpos(pos_type target,
                                                           std::ios_base::openmode which) {
    const pos_type failed(off_type(-1));
    off_type to = off_type(target);
    off_type here = off_type(partLength_ - remaining_);
    if (!(which & std::ios_base::in) || to < 0 || to > off_type(partLength_) || !source)
        return failed;
    if (to == here)
        return target;
    if (to > here) {
        if (!skip(uint32_t(to - here))) {
            truncated_ = true;
            return failed;
        }
        return target;
    }
    // Backwards only where nothing has seen the bytes: the hash and the tee cannot unsee them.
    if (hashing_ || tee ||
        source->pubseekoff(to - here, std::ios_base::cur, std::ios_base::in) == failed)
        return failed;
    taken -= uint64_t(here - to);
    remaining_ = partLength_ - uint32_t(to);
    putBack = 0;
    return target;
}

PackageReader::PackageReader(std::istream& source, bool hashing, std::streambuf* tee)
    : PackageReader(source.rdbuf(), hashing, tee) {}

PackageReader::PackageReader(std::streambuf* source, bool hashing, std::streambuf* tee)
    : std::istream(nullptr), buffer(source, hashing, tee) {
    rdbuf(&buffer);
    uint8_t header[fileHeaderSize];
    if (!buffer.readFileHeader(header)) {
        setstate(std::ios_base::failbit);
        return;
    }
    magic_ = loadLe32(header);
    totalSize_ = uint64_t(loadLe32(header + 4)) + fileHeaderSize;
    buffer.setDeclaredEnd(totalSize_);
    if (magic_ != packageMagic && magic_ != unregisteredMagic)
        setstate(std::ios_base::failbit);
}

int PackageReader::next() {
    if (fail()) {
        kind_ = -1;
        return -1;
    }
    clear(rdstate() & ~std::ios_base::eofbit);
    for (;;) {
        int kind = buffer.nextPart();
        if (kind < 0) {
            setstate(std::ios_base::failbit | std::ios_base::eofbit);
            kind_ = -1;
            return -1;
        }
        if (std::find(wanted.begin(), wanted.end(), kind) != wanted.end())
            return kind_ = kind;
    }
}

} // namespace installer
