// The deflate block scanner: finds where the last block of a raw deflate stream starts and
// where the stream ends by decoding its Huffman codes without writing what they stand for,
// so that a chunk deflated by libdeflate can be made joinable without inflating it. See
// ScanBlocks in deflate_chunks.h.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/deflate_chunks.h"

namespace vornback::deflate {

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

}  // namespace vornback::deflate
