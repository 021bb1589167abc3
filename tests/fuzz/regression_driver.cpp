// Runs a fuzzer's entry point once on every file of the folders (or files) it is given, so that
// the inputs a fuzzer found stay tested in the builds without libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// Sorted, so that a failing run names the same file every time.
std::vector<fs::path> inputs_of(const fs::path& place) {
    std::vector<fs::path> files;
    std::error_code error;
    if (fs::is_directory(place, error)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(place)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
    } else if (fs::is_regular_file(place, error)) {
        files.push_back(place);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& file : inputs_of(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
            std::cout << file.filename().string() << std::endl;
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
            ++runs;
        }
    }
    std::cout << runs << " inputs\n";
    // a wrong folder must not pass as a clean run
    return runs > 0 ? 0 : 1;
}
