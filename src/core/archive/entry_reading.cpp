// Reading the bytes of one entry; see entry_reading.h.
#include "archive/entry_reading.h"

#include <zip.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/errors.h"

namespace vornback::archive_internal {

namespace {

// Makes sure buffer holds at least capacity bytes; its contents do not matter.
void Fit(Buffer& buffer, size_t capacity) {
    if (buffer.Capacity() < capacity) {
        buffer = Buffer();
        buffer = Buffer(capacity);
    }
}

// WinZip AES leaves the CRC of small entries out (stored as 0); their authentication
// code, checked by libzip at the entry's end, stands for it.
bool CrcUnstored(const ReadEntry& entry) {
    return entry.Encrypted() && entry.crc == 0;
}

}  // namespace

void ReadEntryData(const ReadArchive& archive, const ReadEntry& entry, deflate::Inflater& inflater,
                   Scratch& scratch, const std::atomic<bool>* cancel, const StopCheck& stop,
                   const EntrySink& sink) {
    auto checkStop = [&] {
        if (stop()) {
            throw Abandoned{};
        }
        if (Cancelled(cancel)) {
            throw ArchiveCancelled("unpacking cancelled");
        }
    };
    checkStop();
    const bool deflated = entry.method == ZIP_CM_DEFLATE;
    const bool raw = deflated || entry.method == ZIP_CM_STORE;
    zip_file_t* file = zip_fopen_index(archive.Get(), entry.index, raw ? ZIP_FL_COMPRESSED : 0);
    if (file == nullptr) {
        archive.Fail(entry.name, std::string("cannot read: ") + zip_strerror(archive.Get()));
    }
    std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> closer(file, zip_fclose);
    auto read = [&](uint8_t* data, size_t length) {
        const zip_int64_t n = zip_fread(file, data, length);
        if (n < 0) {
            const zip_error_t* error = zip_file_get_error(file);
            switch (zip_error_code_zip(error)) {
                case ZIP_ER_CRC:
                    archive.Fail(entry.name, "CRC error");
                case ZIP_ER_COMPRESSED_DATA:
                    archive.Fail(entry.name, "damaged compressed data");
                default:
                    archive.Fail(entry.name, zip_file_strerror(file));
            }
        }
        return static_cast<size_t>(n);
    };

    if (deflated && entry.size <= kWholeFileLimit &&
        entry.compressedSize <= kWholeFileLimit + kWholeFileLimit / 8) {
        Buffer& packed = scratch.packed;
        Fit(packed, std::max<size_t>(static_cast<size_t>(entry.compressedSize), 1));
        if (entry.compressedSize < entry.encryptionOverhead) {
            archive.Fail(entry.name, "truncated data");
        }
        const auto want = static_cast<size_t>(entry.compressedSize - entry.encryptionOverhead);
        size_t got = 0;
        while (got < want) {
            const size_t n = read(packed.Data() + got, want - got);
            if (n == 0) {
                archive.Fail(entry.name, "truncated data");
            }
            got += n;
        }
        // An encrypted entry's authentication code is checked when its end is read.
        if (entry.Encrypted()) {
            uint8_t beyond = 0;
            if (read(&beyond, 1) != 0) {
                archive.Fail(entry.name, "more data than its stored size");
            }
        }
        checkStop();
        const auto size = static_cast<size_t>(entry.size);
        Fit(scratch.out, std::max<size_t>(size, 1));
        switch (inflater.Whole(packed.Data(), got, scratch.out, size)) {
            case deflate::Inflater::Result::Ok:
                break;
            case deflate::Inflater::Result::TooLong:
                archive.Fail(entry.name, "more data than its stored size");
            case deflate::Inflater::Result::TooShort:
                archive.Fail(entry.name, "truncated data");
            case deflate::Inflater::Result::Damaged:
                archive.Fail(entry.name, "damaged compressed data");
        }
        if (!CrcUnstored(entry) && deflate::Crc32(0, scratch.out.Data(), size) != entry.crc) {
            archive.Fail(entry.name, "CRC error");
        }
        sink(reinterpret_cast<const char*>(scratch.out.Data()), size);
        return;
    }

    Buffer& piece = scratch.packed;
    Fit(piece, kChunkSize);
    uint64_t total = 0;
    uint32_t crc = 0;
    auto take = [&](const uint8_t* data, size_t n) {
        total += n;
        if (total > entry.size) {
            archive.Fail(entry.name, "more data than its stored size");
        }
        crc = deflate::Crc32(crc, data, n);
        sink(reinterpret_cast<const char*>(data), n);
    };
    if (deflated) {
        Fit(scratch.out, kChunkSize);
        using Stream = deflate::Inflater::Stream;
        inflater.Start();
        Stream state = Stream::More;
        for (;;) {
            checkStop();
            const size_t n = read(piece.Data(), kChunkSize);
            if (n == 0) {
                break;
            }
            // Bytes after the end of the stream, or bytes that are not deflate.
            if (state == Stream::Ended ||
                (state = inflater.Feed(piece.Data(), n, scratch.out, take)) == Stream::Damaged) {
                archive.Fail(entry.name, "damaged compressed data");
            }
        }
        if (state != Stream::Ended) {
            archive.Fail(entry.name, "truncated data");
        }
    } else {
        for (;;) {
            checkStop();
            const size_t n = read(piece.Data(), kChunkSize);
            if (n == 0) {
                break;
            }
            take(piece.Data(), n);
        }
    }
    if (total != entry.size) {
        archive.Fail(entry.name, "truncated data");
    }
    if (!CrcUnstored(entry) && crc != entry.crc) {
        archive.Fail(entry.name, "CRC error");
    }
}

bool SameEntry(const ReadArchive& archive, const ReadEntry& entry) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive.Get(), entry.index, 0, &st) != 0 ||
        (st.valid & ZIP_STAT_NAME) == 0) {
        return false;
    }
    return entry.name == st.name && ((st.valid & ZIP_STAT_SIZE) == 0 ? 0 : st.size) == entry.size &&
           ((st.valid & ZIP_STAT_CRC) == 0 ? 0 : st.crc) == entry.crc &&
           ((st.valid & ZIP_STAT_COMP_SIZE) == 0 ? 0 : st.comp_size) == entry.compressedSize &&
           ((st.valid & ZIP_STAT_COMP_METHOD) == 0 ? ZIP_CM_STORE : st.comp_method) == entry.method;
}

}  // namespace vornback::archive_internal
