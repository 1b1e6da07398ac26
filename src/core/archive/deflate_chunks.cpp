// Deflate in whole buffers and in joinable chunks; see deflate_chunks.h.
#include "archive/deflate_chunks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>

namespace vornback::deflate {

namespace {
// The fast level used for the trial only.
constexpr int kTrialLevel = 1;
}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
    return libdeflate_crc32(crc, data, length);
}

uint32_t Crc32Combine(uint32_t first, uint32_t second, uint64_t secondLength) {
    return static_cast<uint32_t>(
        crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

Deflater::Deflater()
    : fast_(libdeflate_alloc_compressor(kTrialLevel)),
      normal_(libdeflate_alloc_compressor(kLevel)) {
    auto* stream = new z_stream{};
    zlib_ = stream;
    if (fast_ == nullptr || normal_ == nullptr ||
        deflateInit2(stream, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        libdeflate_free_compressor(fast_);
        libdeflate_free_compressor(normal_);
        delete stream;
        throw std::bad_alloc();
    }
}

Deflater::~Deflater() {
    auto* stream = static_cast<z_stream*>(zlib_);
    deflateEnd(stream);
    delete stream;
    libdeflate_free_compressor(fast_);
    libdeflate_free_compressor(normal_);
}

bool Deflater::WorthDeflating(const uint8_t* data, size_t length) {
    length = std::min(length, kTrialBlock);
    if (length == 0) {
        return false;
    }
    // Worth it when the fast level saves at least 1/64 of the block; what saves less
    // (images, encrypted pages) would cost the full deflate for next to nothing.
    Buffer out(length - length / 64);
    return libdeflate_deflate_compress(fast_, data, length, out.Data(), out.Capacity()) != 0;
}

size_t Deflater::Whole(const uint8_t* data, size_t length, Buffer& out) {
    if (length <= 1) {
        return 0;
    }
    out.Grow(length - 1);
    const size_t n = libdeflate_deflate_compress(normal_, data, length, out.Data(), length - 1);
    out.SetSize(n);
    return n;
}

void Deflater::Chunk(const uint8_t* dictionary, size_t dictionaryLength, const uint8_t* data,
                     size_t length, bool last, Buffer& out) {
    auto* stream = static_cast<z_stream*>(zlib_);
    if (deflateReset(stream) != Z_OK) {
        throw std::runtime_error("zlib: cannot reset the deflate stream");
    }
    if (dictionaryLength > 0 &&
        deflateSetDictionary(stream, dictionary, static_cast<uInt>(dictionaryLength)) != Z_OK) {
        throw std::runtime_error("zlib: cannot set the dictionary");
    }
    // A sync flush adds an empty stored block (five bytes) and up to a byte of padding.
    out.Grow(deflateBound(stream, static_cast<uLong>(length)) + 16);
    out.SetSize(0);
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = static_cast<uInt>(length);
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        stream->next_out = out.Data() + out.Size();
        stream->avail_out =
            static_cast<uInt>(std::min<size_t>(out.Capacity() - out.Size(), UINT_MAX));
        const uInt before = stream->avail_out;
        const int result = ::deflate(stream, flush);
        out.SetSize(out.Size() + (before - stream->avail_out));
        if (result == Z_STREAM_ERROR) {
            throw std::runtime_error("zlib: deflate failed");
        }
        const bool finished =
            last ? result == Z_STREAM_END : stream->avail_in == 0 && stream->avail_out > 0;
        if (finished) {
            return;
        }
        out.Grow(out.Capacity() * 2);
    }
}

Inflater::Inflater() : decompressor_(libdeflate_alloc_decompressor()) {
    if (decompressor_ == nullptr) {
        throw std::bad_alloc();
    }
}

Inflater::~Inflater() {
    libdeflate_free_decompressor(decompressor_);
}

Inflater::Result Inflater::Whole(const uint8_t* data, size_t length, Buffer& out) {
    size_t produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress(
        decompressor_, data, length, out.Data(), out.Capacity(), &produced);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            out.SetSize(produced);
            return produced == out.Capacity() ? Result::Ok : Result::TooShort;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return Result::TooLong;
        default:
            return Result::Damaged;
    }
}

}  // namespace vornback::deflate
