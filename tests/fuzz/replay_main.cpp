// Driver for fuzz targets when libFuzzer is not available (GCC builds, ctest runs).
// Replays every file named on the command line (or every file in a named folder), then feeds a
// few thousand pseudo-random inputs built by mutating them, so a plain test run still exercises
// truncation, bit flips and garbage on every parser. The seed is fixed: failures reproduce.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> read_all(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void run(const std::vector<uint8_t>& input)
{
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::vector<uint8_t>> seeds;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg))
                if (entry.is_regular_file())
                    seeds.push_back(read_all(entry.path()));
        } else {
            seeds.push_back(read_all(arg));
        }
    }
    seeds.emplace_back();

    std::mt19937 random(20261208);
    for (const auto& seed : seeds) {
        run(seed);
        for (size_t cut = 0; cut < seed.size(); cut += 1 + seed.size() / 64)
            run(std::vector<uint8_t>(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(cut)));
    }
    for (int round = 0; round < 4000; ++round) {
        std::vector<uint8_t> input = seeds[random() % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            switch (random() % 4) {
            case 0: // flip a byte
                if (!input.empty())
                    input[random() % input.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
                break;
            case 1: // insert a byte
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(input.empty() ? 0 : random() % input.size()),
                             static_cast<uint8_t>(random()));
                break;
            case 2: // drop the tail
                if (!input.empty())
                    input.resize(random() % input.size());
                break;
            default: // set a byte to an edge value
                if (!input.empty())
                    input[random() % input.size()] = (random() % 2) ? 0xFF : 0x00;
            }
        }
        run(input);
    }
    std::printf("replayed %zu seeds and 4000 mutations\n", seeds.size());
    return 0;
}
