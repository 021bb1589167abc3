// The client's file digests on one file: prints "sha1 <seconds>" and "md5 <seconds>", each the
// time of one whole pass through the client's own streaming digest.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "velmora/services/file_hashes.h"

namespace {

double seconds_of(const std::filesystem::path& file, velmora::services::Digest digest) {
    const auto start = std::chrono::steady_clock::now();
    const auto value = velmora::services::file_digest(file, digest);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!value) {
        std::fprintf(stderr, "digest_bench: cannot read %s\n", file.c_str());
        return -1;
    }
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: digest_bench FILE\n");
        return 2;
    }
    const double sha1 = seconds_of(argv[1], velmora::services::Digest::Sha1);
    const double md5 = seconds_of(argv[1], velmora::services::Digest::Md5);
    if (sha1 < 0 || md5 < 0) {
        return 1;
    }
    std::printf("sha1 %.3f\nmd5 %.3f\n", sha1, md5);
    return 0;
}
