// The compression pieces of the archive component: a file held whole is deflated in one
// call of libdeflate; a large file is deflated in independent chunks, also by libdeflate
// (no dictionary), and each chunk but the last is made joinable: its final-block bit is
// cleared and it is closed on a byte boundary with an empty stored block, so that the
// chunks joined in order are one deflate stream. A quick trial on the first block tells
// files worth deflating from those to be stored; chunk CRCs join into the CRC of the
// whole. Every result depends on the bytes alone, never on the thread that made it.
// Private to the archive folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive_internal.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace vornback::deflate {

using archive_internal::Buffer;

// The deflate level of every entry: the zip tools' default, the same ratio as theirs.
constexpr int kLevel = 6;
// The block the trial looks at.
constexpr size_t kTrialBlock = 64 * 1024;
// Files from this size on have their trial block also deflated by both deflaters, to choose
// between them; below it the comparison would cost too much beside the file's own deflate.
constexpr size_t kCompareMinimum = 1024 * 1024;
// The bytes before a chunk that zlib is given as its dictionary.
constexpr size_t kDictionary = 32 * 1024;

// How a file is packed, as its trial decides.
enum class Method { Store, Libdeflate, Zlib };

// The room Deflater::Chunk needs for a chunk of length bytes.
size_t ChunkBound(size_t length);

// CRC-32 (the zip one) of data, continuing from crc (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t length);
// The CRC-32 of two pieces one after the other, from the CRC of each and the length of the
// second.
uint32_t Crc32Combine(uint32_t first, uint32_t second, uint64_t secondLength);

// Where the last block of a deflate stream starts, and where the stream ends, in bits from
// its start.
struct StreamBlocks {
    uint64_t finalHeader = 0;
    uint64_t end = 0;
};

// Finds the last block of a raw deflate stream that inflates to exactly length bytes and
// ends in its last byte, by decoding its codes without writing what they stand for. False
// when the stream is not such a stream (or uses what this reader does not expect), so that
// the caller can fall back to a full inflate.
bool ScanBlocks(const uint8_t* data, size_t size, uint64_t length, StreamBlocks& blocks);

// One thread's compressors. Not shareable between threads; each worker owns one.
class Deflater {
  public:
    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Whether data (the first block of a file, at most kTrialBlock bytes of it are looked
    // at) shrinks enough under a fast deflate to be worth deflating: incompressible data
    // (images, encrypted databases) is stored.
    bool WorthDeflating(const uint8_t* data, size_t length);

    // The trial of a file whose first block is data: Store when it is not worth deflating;
    // otherwise, when compare is set, the block is deflated at kLevel by both deflaters and
    // zlib is chosen when it comes out more than 1% smaller (data of many near-repeats, such
    // as database pages, where libdeflate's shorter match search loses several percent),
    // libdeflate (several times faster) when not.
    Method Choose(const uint8_t* data, size_t length, bool compare);

    // Deflates data whole at kLevel into out; returns the compressed size, or 0 when the
    // result would not be smaller than the data (the file is then stored).
    size_t Whole(const uint8_t* data, size_t length, Buffer& out);

    // Deflates one chunk of a chunked stream into out, at kLevel and without a dictionary.
    // A chunk that is not the last has no final block and ends on a byte boundary, so the
    // next chunk's bytes can follow it directly; the last one ends the stream. Throws
    // std::runtime_error when the chunk cannot be made (out of memory, or a deflate
    // stream that does not read back as the chunk).
    void Chunk(const uint8_t* data, size_t length, bool last, Buffer& out);

    // As Whole, by zlib.
    size_t ZlibWhole(const uint8_t* data, size_t length, Buffer& out);

    // As Chunk, by zlib, which may refer back into the dictionaryLength bytes just before
    // data (the end of the previous chunk; none for the first): a chunk that is not the last
    // ends with a sync flush, an empty stored block on a byte boundary.
    void ZlibChunk(const uint8_t* data, size_t dictionaryLength, size_t length, bool last,
                   Buffer& out);

  private:
    // Clears the final-block bit of the deflate stream in out (which inflates to length
    // bytes) and closes it with an empty stored block on a byte boundary.
    void MakeJoinable(size_t length, Buffer& out);

    // ScanBlocks the slow and sure way: zlib inflates the stream, stopping at every block.
    StreamBlocks InflateBlocks(size_t length, const Buffer& out);

    // Runs zlib's deflate over length bytes at data into out (room bytes of it), with
    // flush; false when they do not fit.
    bool ZlibDeflate(const uint8_t* data, size_t dictionaryLength, size_t length, int flush,
                     Buffer& out, size_t room);

    libdeflate_compressor* fast_ = nullptr;
    libdeflate_compressor* normal_ = nullptr;
    void* zlib_ = nullptr;  // z_stream for raw inflate, kept between chunks and reset for each
    void* zlibDeflate_ = nullptr;  // z_stream for raw deflate at kLevel, reset for each use
    Buffer scratch_;               // where MakeJoinable's inflate writes
};

// One thread's inflaters: libdeflate for entries held whole, zlib for those streamed in
// pieces.
class Inflater {
  public:
    enum class Result { Ok, Damaged, TooLong, TooShort };
    enum class Stream { More, Ended, Damaged };
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates a raw deflate stream that must give exactly size bytes into out (whose
    // capacity is at least size).
    Result Whole(const uint8_t* data, size_t length, Buffer& out, size_t size);

    // Starts a stream fed in pieces.
    void Start();
    // Inflates the next piece of the stream through out (its whole capacity), handing what
    // comes out to emit as it is made. Ended: the stream ended with this piece's last byte;
    // Damaged: it is not deflate, or bytes follow its end.
    template <typename Emit>
    Stream Feed(const uint8_t* data, size_t length, Buffer& out, Emit&& emit) {
        SetInput(data, length);
        for (;;) {
            size_t produced = 0;
            const Stream state = Step(out, produced);
            if (produced > 0) {
                emit(out.Data(), produced);
            }
            // Go on while input is left, or while out was filled: more may be waiting.
            if (state != Stream::More || (InputLeft() == 0 && produced < out.Capacity())) {
                return state;
            }
        }
    }

  private:
    void SetInput(const uint8_t* data, size_t length);
    size_t InputLeft() const;
    // Inflates into out until it is full or the input is used up.
    Stream Step(Buffer& out, size_t& produced);

    libdeflate_decompressor* decompressor_ = nullptr;
    void* zlib_ = nullptr;  // z_stream for raw inflate
};

}  // namespace vornback::deflate
