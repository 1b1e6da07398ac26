// The compression pieces of the archive component: a file held whole is deflated in one
// call of libdeflate; a large file is deflated in independent chunks by zlib, each with the
// 32 KiB before it as dictionary and ending on a sync flush, so that the chunks joined in
// order are one deflate stream; a quick trial on the first block tells files worth
// deflating from those to be stored; chunk CRCs join into the CRC of the whole. Every
// result depends on the bytes alone, never on the thread that made it. Private to
// src/components.
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
// The window of deflate: the dictionary a chunk gets from the bytes before it.
constexpr size_t kDictionary = 32 * 1024;
// The block the trial looks at.
constexpr size_t kTrialBlock = 64 * 1024;

// CRC-32 (the zip one) of data, continuing from crc (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t length);
// The CRC-32 of two pieces one after the other, from the CRC of each and the length of the
// second.
uint32_t Crc32Combine(uint32_t first, uint32_t second, uint64_t secondLength);

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

    // Deflates data whole at kLevel into out; returns the compressed size, or 0 when the
    // result would not be smaller than the data (the file is then stored).
    size_t Whole(const uint8_t* data, size_t length, Buffer& out);

    // Deflates one chunk of a chunked stream into out: dictionary (the up to kDictionary
    // bytes before the chunk, none for the first) primes the window; a chunk that is not
    // the last ends on a sync flush (byte aligned, no final block), the last one ends the
    // stream. Throws std::runtime_error when zlib fails.
    void Chunk(const uint8_t* dictionary, size_t dictionaryLength, const uint8_t* data,
               size_t length, bool last, Buffer& out);

  private:
    libdeflate_compressor* fast_ = nullptr;
    libdeflate_compressor* normal_ = nullptr;
    void* zlib_ = nullptr;  // z_stream, kept between chunks and reset for each
};

// One thread's libdeflate inflater for entries held whole.
class Inflater {
  public:
    enum class Result { Ok, Damaged, TooLong, TooShort };
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Inflates a raw deflate stream that must give exactly out.Capacity() bytes.
    Result Whole(const uint8_t* data, size_t length, Buffer& out);

  private:
    libdeflate_decompressor* decompressor_ = nullptr;
};

}  // namespace vornback::deflate
