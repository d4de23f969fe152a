// Reading a package file part by part. A package file is an 8-byte file header (magic, length
// of the rest) and typed, length-prefixed parts. PackageReader is an input stream over the
// current part's body; next() moves on to the next part the caller asked for, passing over the
// others. While it reads it keeps a SHA-1 digest per package (from a kind-1 part header up to
// the next one, or to the end) and can copy every byte it consumes to a tee.
//
// Every length in a package is untrusted: the reader never allocates by a length, and a part
// it passes over by repositioning the source counts as present only once its last byte has
// been read; an input that ends early shows as truncated().
#pragma once

#include "package/format/format.h"
#include "package/format/sha1.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

namespace installer {

// The stream buffer under PackageReader: unbuffered, every byte goes straight from the source,
// so that what was consumed (hashed, teed) is exactly what the caller read.
class PackageStreamBuffer : public std::streambuf {
public:
    PackageStreamBuffer(std::streambuf* source, bool hashing, std::streambuf* tee);

    // Reads the 8-byte file header; false when fewer than 8 bytes arrive.
    bool readFileHeader(uint8_t header[8]);
    // Finishes the current body and reads the next part header. Returns the part's kind, or -1
    // at the end of the input (the final digest is then ready).
    int nextPart();
    // Finishes the running hash into the digest and reads the 68-byte signature body (teed,
    // not hashed). False without hashing, when the body is shorter, or on a short read.
    bool readSignatureBody(uint8_t body[68]);
    bool takeDigest(uint8_t digest[20]);
    // The last finished digest, whether or not it was taken.
    const uint8_t* lastDigest() const { return digest; }

    // The file's end as its header declares it: the input is read as if it ended there, so
    // that a source that never ends (a hostile server's) is read no further.
    void setDeclaredEnd(uint64_t end) { declaredEnd = end; }

    uint64_t position() const { return position_; }
    uint32_t partLength() const { return partLength_; }
    uint32_t remaining() const { return remaining_; }
    bool hashing() const { return hashing_; }
    // The input ended inside a part header or a body that claimed more bytes than there were.
    bool truncated() const { return truncated_; }
    // A write to the tee fell short: the copy is not the input.
    bool teeFailed() const { return teeFailed_; }
    // More input followed the declared end, after the last whole part before it.
    bool overlong() const { return overlong_; }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type target, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* data, std::streamsize count) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;

private:
    // Reads up to count bytes from the source; the bytes are hashed and teed (except those
    // read again after a put-back).
    size_t take(uint8_t* data, size_t count, bool hash);
    void consumed(const uint8_t* data, size_t count, bool hash);
    // Passes over count bytes of the current body: by repositioning the source when nothing
    // needs to see them, otherwise by reading. False when the input ends first.
    bool skip(uint32_t count);
    bool discard(uint32_t count);
    void finishDigest();
    bool atDeclaredEnd() const { return taken >= declaredEnd; }

    std::streambuf* source;
    uint64_t position_ = 0;
    uint64_t declaredEnd = UINT64_MAX;
    uint64_t taken = 0; // bytes taken from the source, less those put back
    uint32_t partLength_ = 0;
    uint32_t remaining_ = 0;
    std::streambuf* tee;
    Sha1 hasher;
    bool hashing_;
    bool digestReady = false;
    uint32_t putBack = 0;
    uint8_t digest[20] = {};
    bool truncated_ = false;
    bool teeFailed_ = false;
    bool overlong_ = false;
};

class PackageReader : public std::istream {
public:
    // The stream is in the fail state from the start when the file header is short or its
    // magic is unknown. tee, when given, receives a copy of every byte consumed.
    PackageReader(std::istream& source, bool hashing, std::streambuf* tee = nullptr);
    PackageReader(std::streambuf* source, bool hashing, std::streambuf* tee = nullptr);

    bool isUnregistered() const { return magic_ == unregisteredMagic; }
    uint32_t magic() const { return magic_; }
    // File header length + 8, computed without wrapping.
    uint64_t totalSize() const { return totalSize_; }

    // Adds a part kind that next() stops at. Add them all before the first next().
    void want(int kind) { wanted.push_back(kind); }
    // Moves to the next wanted part; returns its kind, or -1 at the end or after an error
    // (and sets fail and end-of-file).
    int next();
    int kind() const { return kind_; }
    uint32_t partLength() const { return buffer.partLength(); }
    // File offset of the current part's body.
    uint64_t position() const { return buffer.position(); }
    uint32_t remaining() const { return buffer.remaining(); }
    bool truncated() const { return buffer.truncated(); }
    bool teeFailed() const { return buffer.teeFailed(); }
    bool overlong() const { return buffer.overlong(); }

    // Takes the digest of the package whose end was just passed, once.
    bool takeDigest(uint8_t digest[20]) { return buffer.takeDigest(digest); }
    // On a kind-9 part: true when it holds a valid signature of the package just read, under
    // publicKey (32 bytes) or, when null, under the key built into the installer. Consumes the
    // 68 checked bytes.
    bool verifySignature(const uint8_t* publicKey = nullptr);

private:
    PackageStreamBuffer buffer;
    std::vector<int> wanted;
    int kind_ = -1;
    uint32_t magic_ = 0;
    uint64_t totalSize_ = 0;
};

// Decompresses one zlib stream read from another stream buffer (the reader, standing on a
// kind-4 part, so the stream ends with the part). Errors and a cut-short stream read as end of
// file; damaged() tells them apart from the proper end.
class InflatingStreamBuffer : public std::streambuf {
public:
    explicit InflatingStreamBuffer(std::streambuf* source);
    ~InflatingStreamBuffer() override;
    InflatingStreamBuffer(const InflatingStreamBuffer&) = delete;
    InflatingStreamBuffer& operator=(const InflatingStreamBuffer&) = delete;

    uint64_t totalOut() const { return total; }
    // True once the compressed data has proved bad or ended before the zlib stream did.
    bool damaged() const { return damaged_; }
    // True once the zlib stream has reached its own end.
    bool complete() const { return complete_; }

protected:
    int_type underflow() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type target, std::ios_base::openmode which) override;

private:
    // 16 KiB each way: with 4 KiB the calls into zlib cost a tenth of the inflate time.
    static constexpr unsigned bufferSize = 16384;
    std::streambuf* source;
    struct ZStreamDelete {
        void operator()(void* stream) const;
    };
    std::unique_ptr<void, ZStreamDelete> zstream; // z_stream, kept out of this header
    bool ready = false;
    bool damaged_ = false;
    bool complete_ = false;
    uint64_t total = 0;
    char input[bufferSize];
    char output[1 + bufferSize]; // one byte kept for put-back, then the output
};

// An input stream over an InflatingStreamBuffer it owns.
class InflatingStream : public std::istream {
public:
    explicit InflatingStream(std::istream& source) : std::istream(nullptr), buffer(source.rdbuf()) {
        init(&buffer);
    }
    const InflatingStreamBuffer& inflater() const { return buffer; }

private:
    InflatingStreamBuffer buffer;
};

} // namespace installer
