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
    if (fast_ == nullptr || normal_ == nullptr || inflateInit2(stream, -15) != Z_OK) {
        libdeflate_free_compressor(fast_);
        libdeflate_free_compressor(normal_);
        delete stream;
        throw std::bad_alloc();
    }
}

Deflater::~Deflater() {
    auto* stream = static_cast<z_stream*>(zlib_);
    inflateEnd(stream);
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

size_t ChunkBound(size_t length) {
    // Room for the stream and for the empty stored block that may follow it. Without a
    // compressor the bound holds for every level.
    return libdeflate_deflate_compress_bound(nullptr, length) + 8;
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

namespace {

// Reads the bits of a deflate stream, least significant bit of each byte first. Reading
// past the end gives zero bits; the caller checks the position against the size.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint32_t Peek(unsigned count) const {
        const size_t byte = static_cast<size_t>(position_ / 8);
        uint64_t word = 0;
        if (byte + 8 <= size_) {
            std::memcpy(&word, data_ + byte, 8);
        } else if (byte < size_) {
            std::memcpy(&word, data_ + byte, size_ - byte);
        }
        // Little-endian machines only, as the rest of the archive code assumes.
        return static_cast<uint32_t>((word >> (position_ % 8)) & ((uint64_t{1} << count) - 1));
    }
    void Skip(unsigned count) { position_ += count; }
    uint32_t Take(unsigned count) {
        const uint32_t value = count == 0 ? 0 : Peek(count);
        position_ += count;
        return value;
    }
    void AlignToByte() { position_ = (position_ + 7) / 8 * 8; }
    uint64_t Position() const { return position_; }
    bool Overrun() const { return position_ > uint64_t{size_} * 8; }

  private:
    const uint8_t* data_;
    size_t size_;
    uint64_t position_ = 0;
};

// A canonical Huffman code as a table indexed by the next bits of the stream (the longest
// code's worth): each entry holds symbol << 4 | code length, 0 for no code.
struct HuffmanTable {
    std::vector<uint16_t> entries;
    unsigned bits = 1;

    // False when the lengths overfill the code space.
    bool Build(const uint8_t* lengths, unsigned count) {
        unsigned perLength[16] = {};
        bits = 1;
        for (unsigned i = 0; i < count; ++i) {
            ++perLength[lengths[i]];
            bits = std::max<unsigned>(bits, lengths[i]);
        }
        perLength[0] = 0;
        int left = 1;
        for (unsigned length = 1; length <= 15; ++length) {
            left = left * 2 - static_cast<int>(perLength[length]);
            if (left < 0) {
                return false;
            }
        }
        unsigned next[16] = {};
        unsigned code = 0;
        for (unsigned length = 1; length <= 15; ++length) {
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        entries.assign(size_t{1} << bits, 0);
        for (unsigned symbol = 0; symbol < count; ++symbol) {
            const unsigned length = lengths[symbol];
            if (length == 0) {
                continue;
            }
            // Huffman codes go into the stream from their most significant bit on.
            unsigned reversed = 0;
            for (unsigned c = next[length]++, i = 0; i < length; ++i, c >>= 1) {
                reversed = (reversed << 1) | (c & 1);
            }
            for (size_t at = reversed; at < entries.size(); at += size_t{1} << length) {
                entries[at] = static_cast<uint16_t>(symbol << 4 | length);
            }
        }
        return true;
    }

    // The next symbol, or -1 when the bits are no code.
    int Decode(BitReader& in) const {
        const uint16_t entry = entries[in.Peek(bits)];
        if (entry == 0) {
            return -1;
        }
        in.Skip(entry & 15u);
        return entry >> 4;
    }
};

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint32_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Reads a dynamic block's code lengths into the two tables.
bool ReadDynamicCodes(BitReader& in, HuffmanTable& literals, HuffmanTable& distances) {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
    const unsigned literalCount = in.Take(5) + 257;
    const unsigned distanceCount = in.Take(5) + 1;
    const unsigned lengthCodeCount = in.Take(4) + 4;
    if (literalCount > 286 || distanceCount > 30) {
        return false;
    }
    uint8_t codeLengths[19] = {};
    for (unsigned i = 0; i < lengthCodeCount; ++i) {
        codeLengths[kOrder[i]] = static_cast<uint8_t>(in.Take(3));
    }
    HuffmanTable lengthCode;
    if (!lengthCode.Build(codeLengths, 19)) {
        return false;
    }
    uint8_t lengths[286 + 30] = {};
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        const int symbol = lengthCode.Decode(in);
        if (symbol < 0 || in.Overrun()) {
            return false;
        }
        if (symbol < 16) {
            lengths[i++] = static_cast<uint8_t>(symbol);
            continue;
        }
        unsigned repeat = 0;
        uint8_t value = 0;
        if (symbol == 16) {
            if (i == 0) {
                return false;
            }
            value = lengths[i - 1];
            repeat = 3 + in.Take(2);
        } else if (symbol == 17) {
            repeat = 3 + in.Take(3);
        } else {
            repeat = 11 + in.Take(7);
        }
        if (i + repeat > total) {
            return false;
        }
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    return lengths[256] != 0 && literals.Build(lengths, literalCount) &&
           distances.Build(lengths + literalCount, distanceCount);
}

}  // namespace

bool ScanBlocks(const uint8_t* data, size_t size, uint64_t length, StreamBlocks& blocks) {
    BitReader in(data, size);
    HuffmanTable literals;
    HuffmanTable distances;
    uint64_t produced = 0;
    for (;;) {
        const uint64_t header = in.Position();
        const bool final = in.Take(1) != 0;
        const uint32_t type = in.Take(2);
        if (type == 0) {
            in.AlignToByte();
            const uint32_t stored = in.Take(16);
            if ((in.Take(16) ^ 0xFFFFu) != stored) {
                return false;
            }
            in.Skip(stored * 8);
            produced += stored;
        } else if (type == 1 || type == 2) {
            if (type == 1) {
                uint8_t fixed[288 + 30];
                std::memset(fixed, 8, 144);
                std::memset(fixed + 144, 9, 112);
                std::memset(fixed + 256, 7, 24);
                std::memset(fixed + 280, 8, 8);
                std::memset(fixed + 288, 5, 30);
                literals.Build(fixed, 288);
                distances.Build(fixed + 288, 30);
            } else if (!ReadDynamicCodes(in, literals, distances)) {
                return false;
            }
            for (;;) {
                const int symbol = literals.Decode(in);
                if (symbol < 0 || in.Overrun()) {
                    return false;
                }
                if (symbol < 256) {
                    ++produced;
                    continue;
                }
                if (symbol == 256) {
                    break;
                }
                const int lengthCode = symbol - 257;
                if (lengthCode >= 29) {
                    return false;
                }
                const uint32_t matchLength =
                    kLengthBase[lengthCode] + in.Take(kLengthExtra[lengthCode]);
                const int distanceCode = distances.Decode(in);
                if (distanceCode < 0 || distanceCode >= 30) {
                    return false;
                }
                // The chunk stands alone: nothing may refer to bytes before it.
                if (kDistanceBase[distanceCode] + in.Take(kDistanceExtra[distanceCode]) >
                    produced) {
                    return false;
                }
                produced += matchLength;
            }
        } else {
            return false;
        }
        if (in.Overrun() || produced > length) {
            return false;
        }
        if (final) {
            blocks.finalHeader = header;
            blocks.end = in.Position();
            return produced == length && (blocks.end + 7) / 8 == size;
        }
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
    auto* stream = new z_stream{};
    zlib_ = stream;
    if (decompressor_ == nullptr || inflateInit2(stream, -15) != Z_OK) {
        libdeflate_free_decompressor(decompressor_);
        delete stream;
        throw std::bad_alloc();
    }
}

Inflater::~Inflater() {
    auto* stream = static_cast<z_stream*>(zlib_);
    inflateEnd(stream);
    delete stream;
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
