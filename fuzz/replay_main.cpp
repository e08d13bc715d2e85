// Plain entry point for the fuzz targets where libFuzzer is absent (GCC
// trees, the board build under qemu-ppc): feeds every file of the given
// files and directories, in name order, to LLVMFuzzerTestOneInput. A broken
// invariant or a sanitizer report aborts; an empty or missing corpus fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const fs::path& arg)
{
    std::vector<fs::path> found;
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
        for (const auto& e : fs::directory_iterator(arg, ec))
            if (e.is_regular_file(ec))
                found.push_back(e.path());
        std::sort(found.begin(), found.end());
    } else if (fs::is_regular_file(arg, ec)) {
        found.push_back(arg);
    }
    return found;
}

bool read_file(const fs::path& p, std::vector<std::uint8_t>* bytes)
{
    FILE* in = std::fopen(p.c_str(), "rb");
    if (!in)
        return false;
    bytes->clear();
    std::uint8_t piece[4096];
    std::size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, in)) > 0)
        bytes->insert(bytes->end(), piece, piece + got);
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> all;
    for (int i = 1; i < argc; ++i) {
        const std::vector<fs::path> some = inputs_of(argv[i]);
        if (some.empty()) {
            std::fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
            return 1;
        }
        all.insert(all.end(), some.begin(), some.end());
    }
    // Every input is read before the target sets itself up: its set-up may
    // change this process's view of the file system (a private /tmp hides
    // a corpus that lies under /tmp, as a clone in /tmp does).
    std::vector<std::vector<std::uint8_t>> contents(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!read_file(all[i], &contents[i])) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], all[i].c_str());
            return 1;
        }
        // An empty input still needs a valid address behind it.
        contents[i].reserve(1);
    }
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    for (const std::vector<std::uint8_t>& bytes : contents)
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::fprintf(stderr, "%s: %zu inputs replayed\n", argv[0], all.size());
    return 0;
}
