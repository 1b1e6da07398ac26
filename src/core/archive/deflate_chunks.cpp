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
    auto* deflating = new z_stream{};
    zlib_ = stream;
    zlibDeflate_ = deflating;
    const bool inflating = inflateInit2(stream, -15) == Z_OK;
    // The zip tool's own parameters: a 32 KiB window and memory level 9 (a larger hash
    // than zlib's default, a little smaller output).
    const bool deflateReady =
        deflateInit2(deflating, kLevel, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK;
    if (fast_ == nullptr || normal_ == nullptr || !inflating || !deflateReady) {
        if (inflating) {
            inflateEnd(stream);
        }
        if (deflateReady) {
            deflateEnd(deflating);
        }
        libdeflate_free_compressor(fast_);
        libdeflate_free_compressor(normal_);
        delete stream;
        delete deflating;
        throw std::bad_alloc();
    }
}

Deflater::~Deflater() {
    auto* stream = static_cast<z_stream*>(zlib_);
    inflateEnd(stream);
    delete stream;
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

namespace {

// Reads the bits of a deflate stream, least significant bit of each byte first, through a
// 64-bit buffer refilled eight bytes at a time. Reading past the end gives zero bits; the
// caller checks the position against the size.
class BitReader {
  public:
    BitReader(const uint8_t* data, size_t size) : begin_(data), next_(data), end_(data + size) {}

    // Tops the buffer up to at least 56 bits; false once it has gone well beyond the end
    // (a damaged stream reading zeros), where decoding would only run on.
    bool Refill() {
        if (end_ - next_ >= 8) {
            uint64_t word = 0;
            // Little-endian machines only, as the rest of the archive code assumes.
            std::memcpy(&word, next_, 8);
            buffer_ |= word << count_;
            next_ += (63 - count_) / 8;
            count_ |= 56;
            return true;
        }
        while (count_ <= 56) {
            uint64_t byte = 0;
            if (next_ < end_) {
                byte = *next_++;
            } else {
                ++beyond_;
            }
            buffer_ |= byte << count_;
            count_ += 8;
        }
        return beyond_ <= 16;
    }
    // At most the bits in the buffer (Refill first; 56 after it).
    uint32_t Peek(unsigned count) const {
        return static_cast<uint32_t>(buffer_ & ((uint64_t{1} << count) - 1));
    }
    void Skip(unsigned count) {
        buffer_ >>= count;
        count_ -= count;
    }
    uint32_t Take(unsigned count) {
        if (count_ < count) {
            Refill();
        }
        const uint32_t value = Peek(count);
        Skip(count);
        return value;
    }
    void AlignToByte() { Skip(count_ % 8); }
    // Skips whole bytes; the reader is on a byte boundary.
    void SkipBytes(uint64_t bytes) {
        const uint64_t buffered = count_ / 8;
        if (bytes <= buffered) {
            Skip(static_cast<unsigned>(bytes * 8));
            return;
        }
        bytes -= buffered;
        buffer_ = 0;
        count_ = 0;
        const auto left = static_cast<uint64_t>(end_ - next_);
        next_ += std::min(bytes, left);
        beyond_ += bytes - std::min(bytes, left);
    }
    uint64_t Position() const {
        return (static_cast<uint64_t>(next_ - begin_) + beyond_) * 8 - count_;
    }
    bool Overrun() const { return Position() > static_cast<uint64_t>(end_ - begin_) * 8; }

  private:
    const uint8_t* begin_;
    const uint8_t* next_;
    const uint8_t* end_;
    uint64_t buffer_ = 0;
    unsigned count_ = 0;
    uint64_t beyond_ = 0;  // zero bytes read past the end
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

// What a table entry says of its symbol, besides the code length: a literal byte, the
// block's end, a match length or distance (with its base and extra bits), or a symbol the
// format does not allow.
enum Kind : uint32_t { kLiteral, kEndOfBlock, kMatch, kInvalid };

// One entry: code length in bits 0-3, extra bits in 4-7, kind in 8-9, symbol or base from
// bit 16 on; 0 where no code starts.
constexpr uint32_t Entry(unsigned length, unsigned extra, Kind kind, uint32_t value) {
    return length | extra << 4 | static_cast<uint32_t>(kind) << 8 | value << 16;
}

// How a table reads a symbol: the code lengths' plain symbols, literals and lengths, or
// distances.
enum class Alphabet { Plain, Literals, Distances };

uint32_t SymbolEntry(Alphabet alphabet, unsigned symbol, unsigned length) {
    switch (alphabet) {
        case Alphabet::Plain:
            return Entry(length, 0, kLiteral, symbol);
        case Alphabet::Literals:
            if (symbol < 256) {
                return Entry(length, 0, kLiteral, symbol);
            }
            if (symbol == 256) {
                return Entry(length, 0, kEndOfBlock, 0);
            }
            if (symbol - 257 < 29) {
                return Entry(length, kLengthExtra[symbol - 257], kMatch, kLengthBase[symbol - 257]);
            }
            return Entry(length, 0, kInvalid, 0);
        case Alphabet::Distances:
            if (symbol < 30) {
                return Entry(length, kDistanceExtra[symbol], kMatch, kDistanceBase[symbol]);
            }
            return Entry(length, 0, kInvalid, 0);
    }
    return 0;
}

// A canonical Huffman code as tables indexed by the next bits of the stream: a small one
// for codes of up to kQuickBits (most of the stream, and it stays in the fastest cache),
// and one of the longest code's worth for the rest.
struct HuffmanTable {
    static constexpr unsigned kQuickBits = 10;
    // In the small table where a longer code starts.
    static constexpr uint32_t kLonger = Entry(0, 0, kInvalid, 1);

    std::vector<uint32_t> quick;
    std::vector<uint32_t> entries;
    unsigned quickBits = 1;
    unsigned bits = 1;

    // False when the lengths overfill the code space.
    bool Build(const uint8_t* lengths, unsigned count, Alphabet alphabet) {
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
        quickBits = std::min(bits, kQuickBits);
        quick.assign(size_t{1} << quickBits, 0);
        entries.assign(bits > quickBits ? size_t{1} << bits : 0, 0);
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
            const uint32_t entry = SymbolEntry(alphabet, symbol, length);
            if (length <= quickBits) {
                for (size_t at = reversed; at < quick.size(); at += size_t{1} << length) {
                    quick[at] = entry;
                }
                continue;
            }
            quick[reversed & ((1u << quickBits) - 1)] = kLonger;
            for (size_t at = reversed; at < entries.size(); at += size_t{1} << length) {
                entries[at] = entry;
            }
        }
        return true;
    }

    // The next symbol's entry (0 when the bits are no code), its code skipped; the buffer
    // must hold the longest code.
    uint32_t Decode(BitReader& in) const {
        uint32_t entry = quick[in.Peek(quickBits)];
        if (entry == kLonger) {
            entry = entries[in.Peek(bits)];
        }
        in.Skip(entry & 15u);
        return entry;
    }
};

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
    if (!lengthCode.Build(codeLengths, 19, Alphabet::Plain)) {
        return false;
    }
    uint8_t lengths[286 + 30] = {};
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        if (!in.Refill()) {
            return false;
        }
        const uint32_t entry = lengthCode.Decode(in);
        if (entry == 0) {
            return false;
        }
        const uint32_t symbol = entry >> 16;
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
    return lengths[256] != 0 && literals.Build(lengths, literalCount, Alphabet::Literals) &&
           distances.Build(lengths + literalCount, distanceCount, Alphabet::Distances);
}

// Reads one Huffman-coded block's symbols up to its end, counting the bytes they stand for
// into produced; false on what no sound stream of a chunk holds.
bool ScanCodes(BitReader& in, const HuffmanTable& literals, const HuffmanTable& distances,
               uint64_t& produced) {
    for (;;) {
        // A length and a distance with their extra bits take at most 48 bits.
        if (!in.Refill()) {
            return false;
        }
        const uint32_t entry = literals.Decode(in);
        const uint32_t kind = (entry >> 8) & 3u;
        if (kind == kLiteral) {
            if (entry == 0) {
                return false;
            }
            ++produced;
            continue;
        }
        if (kind != kMatch) {
            return kind == kEndOfBlock;
        }
        const unsigned lengthExtra = (entry >> 4) & 15u;
        const uint32_t matchLength = (entry >> 16) + in.Peek(lengthExtra);
        in.Skip(lengthExtra);
        const uint32_t distance = distances.Decode(in);
        if (((distance >> 8) & 3u) != kMatch || (distance & 15u) == 0) {
            return false;
        }
        const unsigned distanceExtra = (distance >> 4) & 15u;
        // The chunk stands alone: nothing may refer to bytes before it.
        if ((distance >> 16) + in.Peek(distanceExtra) > produced) {
            return false;
        }
        in.Skip(distanceExtra);
        produced += matchLength;
    }
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
            in.SkipBytes(stored);
            produced += stored;
        } else if (type == 1 || type == 2) {
            if (type == 1) {
                uint8_t fixed[288 + 30];
                std::memset(fixed, 8, 144);
                std::memset(fixed + 144, 9, 112);
                std::memset(fixed + 256, 7, 24);
                std::memset(fixed + 280, 8, 8);
                std::memset(fixed + 288, 5, 30);
                literals.Build(fixed, 288, Alphabet::Literals);
                distances.Build(fixed + 288, 30, Alphabet::Distances);
            } else if (!ReadDynamicCodes(in, literals, distances)) {
                return false;
            }
            if (!ScanCodes(in, literals, distances, produced)) {
                return false;
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
