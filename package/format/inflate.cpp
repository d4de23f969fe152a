#include "package/format/reader.h"

#include <zlib.h>

namespace installer {

namespace {
z_stream& zs(void* p) {
    return *static_cast<z_stream*>(p);
}
} // namespace

InflatingStreamBuffer::InflatingStreamBuffer(std::streambuf* source)
    : source(source), zstream(new z_stream{}) {
    ready = source && inflateInit(&zs(zstream.get())) == Z_OK;
    setg(output + 1, output + 1, output + 1);
}

InflatingStreamBuffer::~InflatingStreamBuffer() {
    if (ready)
        inflateEnd(&zs(zstream.get()));
}

void InflatingStreamBuffer::ZStreamDelete::operator()(void* stream) const {
    delete static_cast<z_stream*>(stream);
}

InflatingStreamBuffer::int_type InflatingStreamBuffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (!ready || complete_ || damaged_)
        return traits_type::eof();
    z_stream& z = zs(zstream.get());
    int keep = 0;
    if (egptr() > output + 1) {
        output[0] = egptr()[-1];
        keep = 1;
    }
    for (;;) {
        if (z.avail_in == 0) {
            std::streamsize n = source->sgetn(input, bufferSize);
            if (n <= 0) {
                // The part ended before the compressed stream did.
                damaged_ = true;
                return traits_type::eof();
            }
            z.next_in = reinterpret_cast<Bytef*>(input);
            z.avail_in = uInt(n);
        }
        z.next_out = reinterpret_cast<Bytef*>(output + 1);
        z.avail_out = bufferSize;
        int result = inflate(&z, Z_SYNC_FLUSH);
        unsigned produced = bufferSize - z.avail_out;
        if (result == Z_STREAM_END)
            complete_ = true;
        else if (result != Z_OK) {
            damaged_ = true;
            return traits_type::eof();
        }
        if (produced > 0) {
            total += produced;
            setg(output + 1 - keep, output + 1, output + 1 + produced);
            return traits_type::to_int_type(output[1]);
        }
        if (complete_)
            return traits_type::eof();
    }
}

InflatingStreamBuffer::pos_type InflatingStreamBuffer::seekoff(off_type offset,
                                                               std::ios_base::seekdir dir,
                                                               std::ios_base::openmode which) {
    const pos_type failed(off_type(-1));
    if (dir != std::ios_base::cur || offset < 0 || !(which & std::ios_base::in))
        return failed;
    char scratch[1024];
    while (offset > 0) {
        std::streamsize want = offset < off_type(sizeof scratch) ? offset : sizeof scratch;
        if (sgetn(scratch, want) != want)
            return failed;
        offset -= want;
    }
    return pos_type(off_type(total - uint64_t(egptr() - gptr())));
}

InflatingStreamBuffer::pos_type InflatingStreamBuffer::seekpos(pos_type target,
                                                               std::ios_base::openmode which) {
    off_type here = off_type(total - uint64_t(egptr() - gptr()));
    return seekoff(off_type(target) - here, std::ios_base::cur, which);
}

} // namespace installer
