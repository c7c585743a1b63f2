// Runs a fuzz target over files or directories given on the command line, without libFuzzer,
// so any compiler can replay a corpus or a regression input.
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int run_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return 0;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}
}  // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) count += run_file(e.path());
        } else {
            count += run_file(p);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
