// Fuzz target for the archive reader: any bytes, taken as an archive, must be listed,
// verified and unpacked or refused with the project's own errors; never a crash, and never
// a write outside the unpack's own folder. Everything happens below one temporary folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/archive.h"
#include "base/errors.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path root = [] {
        // Below TMPDIR (scripts/fuzz points it at its own folder, removed at the end).
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/vornback-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(root, ignored);
        });
        return fs::path(pattern);
    }();
    const fs::path archive = root / "in.zip";
    const fs::path out = root / "out";
    std::ofstream(archive, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    vornback::UnpackOptions options;
    options.threads = 1;
    try {
        vornback::ListArchive(archive.string());
        vornback::VerifyArchive(archive.string(), options);
        vornback::UnpackArchive(archive.string(), out.string(), options);
    } catch (const vornback::Error&) {
        // refused: what the reader must do with a bad archive
    }
    // Only the archive and the unpack's own folder may be there.
    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path() != archive && entry.path() != out) {
            std::fprintf(stderr, "written outside the destination: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    fs::remove_all(out);
    return 0;
}
