// Deflate in whole buffers and in joinable chunks; see deflate_chunks.h.
#include "archive/deflate_chunks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace vornback::deflate {

namespace {
// The fast level used for the trial only.
constexpr int kTrialLevel = 1;

// A raw inflating zlib stream (no header, 32 KiB window), or nullptr when none can be made.
z_stream* NewRawInflate() {
    auto* stream = new z_stream{};
    if (inflateInit2(stream, -15) != Z_OK) {
        delete stream;
        return nullptr;
    }
    return stream;
}

void DeleteRawInflate(void* stream) {
    if (stream != nullptr) {
        inflateEnd(static_cast<z_stream*>(stream));
        delete static_cast<z_stream*>(stream);
    }
}
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
    zlib_ = NewRawInflate();
    auto* deflating = new z_stream{};
    zlibDeflate_ = deflating;
    // The zip tool's own parameters: a 32 KiB window and memory level 9 (a larger hash
    // than zlib's default, a little smaller output).
    const bool deflateReady =
        deflateInit2(deflating, kLevel, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
    if (fast_ == nullptr || normal_ == nullptr || zlib_ == nullptr || !deflateReady) {
        DeleteRawInflate(zlib_);
        if (deflateReady) {
            deflateEnd(deflating);
        }
        delete deflating;
        libdeflate_free_compressor(fast_);
        libdeflate_free_compressor(normal_);
        throw std::bad_alloc();
    }
}

Deflater::~Deflater() {
    DeleteRawInflate(zlib_);
    auto* deflating = static_cast<z_stream*>(zlibDeflate_);
    deflateEnd(deflating);
    delete deflating;
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

Method Deflater::Choose(const uint8_t* data, size_t length, bool compare) {
    if (!WorthDeflating(data, length)) {
        return Method::Store;
    }
    if (!compare) {
        return Method::Libdeflate;
    }
    length = std::min(length, kTrialBlock);
    Buffer out(ChunkBound(length));
    const size_t byLibdeflate =
        libdeflate_deflate_compress(normal_, data, length, out.Data(), out.Capacity());
    if (!ZlibDeflate(data, 0, length, Z_FINISH, out, out.Capacity())) {
        return Method::Libdeflate;
    }
    // zlib is several times slower: worth it only for a clear gain, not for noise.
    return out.Size() + out.Size() / 100 < byLibdeflate ? Method::Zlib : Method::Libdeflate;
}

bool Deflater::ZlibDeflate(const uint8_t* data, size_t dictionaryLength, size_t length, int flush,
                           Buffer& out, size_t room) {
    auto* stream = static_cast<z_stream*>(zlibDeflate_);
    if (deflateReset(stream) != Z_OK) {
        throw std::runtime_error("zlib: cannot reset the deflate stream");
    }
    if (dictionaryLength > 0 && deflateSetDictionary(stream, data - dictionaryLength,
                                                     static_cast<uInt>(dictionaryLength)) != Z_OK) {
        throw std::runtime_error("zlib: cannot set the dictionary");
    }
    // Chunks and files held whole are far below 4 GiB, so one call takes them.
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = static_cast<uInt>(length);
    stream->next_out = out.Data();
    stream->avail_out = static_cast<uInt>(room);
    const int result = ::deflate(stream, flush);
    const bool done = flush == Z_FINISH
                          ? result == Z_STREAM_END
                          : result == Z_OK && stream->avail_in == 0 && stream->avail_out > 0;
    out.SetSize(done ? room - stream->avail_out : 0);
    return done;
}

size_t Deflater::ZlibWhole(const uint8_t* data, size_t length, Buffer& out) {
    if (length <= 1) {
        return 0;
    }
    out.Grow(length - 1);
    return ZlibDeflate(data, 0, length, Z_FINISH, out, length - 1) ? out.Size() : 0;
}

void Deflater::ZlibChunk(const uint8_t* data, size_t dictionaryLength, size_t length, bool last,
                         Buffer& out) {
    const size_t bound = ChunkBound(length);
    out.Grow(bound);
    if (!ZlibDeflate(data, dictionaryLength, length, last ? Z_FINISH : Z_SYNC_FLUSH, out, bound)) {
        throw std::runtime_error("zlib: the chunk does not fit its bound");
    }
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

size_t ChunkBound(size_t length) {
    // Room for the stream and for the empty stored block that may follow it, by either
    // deflater. Without a compressor libdeflate's bound holds for every level.
    return std::max<size_t>(libdeflate_deflate_compress_bound(nullptr, length),
                            compressBound(static_cast<uLong>(length))) +
           8;
}

void Deflater::Chunk(const uint8_t* data, size_t length, bool last, Buffer& out) {
    const size_t bound = ChunkBound(length);
    out.Grow(bound);
    const size_t n = libdeflate_deflate_compress(normal_, data, length, out.Data(), bound);
    if (n == 0) {
        throw std::runtime_error("libdeflate: the chunk does not fit its bound");
    }
    out.SetSize(n);
    if (!last) {
        MakeJoinable(length, out);
    }
}

StreamBlocks Deflater::InflateBlocks(size_t length, const Buffer& out) {
    // Inflating with Z_BLOCK stops at every block boundary (data_type +128) and tells how
    // many bits of the last byte read are still unused: the bit position where the next
    // block's header starts. A stop after a block that was not the last one is where another
    // block begins; the stop after the final block (+64 too) is where the stream ends. The
    // first block starts at bit 0.
    auto* stream = static_cast<z_stream*>(zlib_);
    if (inflateReset(stream) != Z_OK) {
        throw std::runtime_error("zlib: cannot reset the inflate stream");
    }
    scratch_.Grow(length + 1);
    stream->next_in = const_cast<Bytef*>(out.Data());
    stream->avail_in = static_cast<uInt>(out.Size());
    stream->next_out = scratch_.Data();
    stream->avail_out = static_cast<uInt>(length + 1);
    auto bitsRead = [&] {
        return static_cast<uint64_t>(stream->next_in - out.Data()) * 8 -
               static_cast<uint64_t>(stream->data_type & 7);
    };
    StreamBlocks blocks;
    for (;;) {
        const int result = ::inflate(stream, Z_BLOCK);
        if (result == Z_STREAM_END) {
            break;
        }
        // Z_OK always means progress; no progress is Z_BUF_ERROR.
        if (result != Z_OK) {
            throw std::runtime_error("the deflated chunk does not read back");
        }
        if ((stream->data_type & 128) != 0) {
            ((stream->data_type & 64) != 0 ? blocks.end : blocks.finalHeader) = bitsRead();
        }
    }
    if (stream->total_out != length || stream->avail_in != 0) {
        throw std::runtime_error("the deflated chunk does not read back whole");
    }
    return blocks;
}

void Deflater::MakeJoinable(size_t length, Buffer& out) {
    // libdeflate marks its last block final and has no flush: find that block, by reading
    // the codes (quick) or, should that fail, by inflating.
    StreamBlocks blocks;
    if (!ScanBlocks(out.Data(), out.Size(), length, blocks)) {
        blocks = InflateBlocks(length, out);
    }
    const uint64_t finalHeader = blocks.finalHeader;
    const uint64_t end = blocks.end;
    uint8_t* bytes = out.Data();
    bytes[finalHeader / 8] =
        static_cast<uint8_t>(bytes[finalHeader / 8] & ~(1u << (finalHeader % 8)));
    // The empty stored block: three zero header bits (not final, stored) right after the
    // stream's end, zero padding to the byte, then its length 0 and the length's complement.
    if (end % 8 != 0) {
        bytes[end / 8] = static_cast<uint8_t>(bytes[end / 8] & ((1u << (end % 8)) - 1));
    }
    size_t size = static_cast<size_t>((end + 3 + 7) / 8);
    for (size_t i = static_cast<size_t>((end + 7) / 8); i < size; ++i) {
        bytes[i] = 0;
    }
    static constexpr uint8_t kStoredLength[4] = {0x00, 0x00, 0xFF, 0xFF};
    std::memcpy(bytes + size, kStoredLength, sizeof kStoredLength);
    out.SetSize(size + sizeof kStoredLength);
}

Inflater::Inflater() : decompressor_(libdeflate_alloc_decompressor()) {
    zlib_ = NewRawInflate();
    if (decompressor_ == nullptr || zlib_ == nullptr) {
        DeleteRawInflate(zlib_);
        libdeflate_free_decompressor(decompressor_);
        throw std::bad_alloc();
    }
}

Inflater::~Inflater() {
    DeleteRawInflate(zlib_);
    libdeflate_free_decompressor(decompressor_);
}

Inflater::Result Inflater::Whole(const uint8_t* data, size_t length, Buffer& out, size_t size) {
    size_t produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress(
        decompressor_, data, length, out.Data(), std::min(size, out.Capacity()), &produced);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            out.SetSize(produced);
            return produced == size ? Result::Ok : Result::TooShort;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return Result::TooLong;
        default:
            return Result::Damaged;
    }
}

void Inflater::Start() {
    if (inflateReset(static_cast<z_stream*>(zlib_)) != Z_OK) {
        throw std::runtime_error("zlib: cannot reset the inflate stream");
    }
}

void Inflater::SetInput(const uint8_t* data, size_t length) {
    auto* stream = static_cast<z_stream*>(zlib_);
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = static_cast<uInt>(length);
}

size_t Inflater::InputLeft() const {
    return static_cast<const z_stream*>(zlib_)->avail_in;
}

Inflater::Stream Inflater::Step(Buffer& out, size_t& produced) {
    auto* stream = static_cast<z_stream*>(zlib_);
    const auto room = static_cast<uInt>(std::min<size_t>(out.Capacity(), UINT_MAX));
    stream->next_out = out.Data();
    stream->avail_out = room;
    const int result = ::inflate(stream, Z_NO_FLUSH);
    produced = room - stream->avail_out;
    switch (result) {
        case Z_STREAM_END:
            return stream->avail_in == 0 ? Stream::Ended : Stream::Damaged;
        case Z_OK:
            return Stream::More;
        case Z_BUF_ERROR:
            // No progress was possible: the input is used up mid-stream.
            return stream->avail_in == 0 ? Stream::More : Stream::Damaged;
        default:
            return Stream::Damaged;
    }
}

}  // namespace vornback::deflate
