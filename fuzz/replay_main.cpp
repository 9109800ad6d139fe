// Replays files through a fuzz target without libFuzzer, for the ordinary
// test suite: every regular file of every folder named on the command line,
// in name order, is passed to LLVMFuzzerTestOneInput once. A folder that does
// not exist holds nothing (no crasher has been kept for the target yet); a
// run that replays no file at all fails, since its corpus must be missing.
// A broken property aborts the process, which fails the test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path folder = argv[i];
        std::error_code error;
        if (!fs::is_directory(folder, error)) {
            std::printf("%s: no such folder, nothing to replay\n", argv[i]);
            continue;
        }
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::ifstream stream(file, std::ios::binary);
            const std::vector<char> content((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
            std::vector<std::uint8_t> bytes(content.begin(), content.end());
            // An empty input is passed as an empty buffer that can still be pointed at.
            bytes.reserve(1);
            std::printf("replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    if (replayed == 0) {
        std::fprintf(stderr, "no input replayed: the corpus is missing\n");
        return 1;
    }
    return 0;
}
