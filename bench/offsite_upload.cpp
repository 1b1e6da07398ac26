// Uploads one file with the offsite copy's SFTP session (the same options as a backup's
// copy) and prints the seconds it took: bench/offsite_upload.sh compares it with curl -T.
// usage: offsite_upload FILE sftp://user@host:port/folder SHA256:... IDENTITY
#include <chrono>
#include <cstdio>
#include <exception>

#include "offsite/sftp_session.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FILE URL HOSTKEY IDENTITY\n", argv[0]);
        return 2;
    }
    try {
        vornback::OffsiteSettings s;
        s.url = argv[2];
        s.hostKeySha256 = argv[3];
        s.identityFile = argv[4];
        vornback::SftpSession session(s);
        const auto start = std::chrono::steady_clock::now();
        session.Upload(argv[1], session.Address().folder + "/bench-upload.bin", 0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.3f\n", took.count());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "offsite_upload: %s\n", e.what());
        return 1;
    }
}
