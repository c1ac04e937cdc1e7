// Drives LLVMFuzzerTestOneInput without libFuzzer, for g++ builds:
//   fuzz_main SECONDS [SEED]  random inputs for that long
//   fuzz_main --runs N SEED   exactly N random inputs
//   fuzz_main FILE...         replays the given inputs
// The random inputs favour small alphabets, so words share prefixes, and
// sometimes span all 256 byte values, so the wide child bitmap is used.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<uint8_t> random_input(std::mt19937_64 &rng) {
    const uint8_t separator = 0xFF;
    std::vector<uint8_t> input{separator, uint8_t(rng() % 40)};
    const int span = std::vector<int>{2, 3, 8, 70, 255}[rng() % 5];
    const uint8_t base = uint8_t(span == 255 ? 0 : rng() % (255 - span));
    const size_t pieces = rng() % 60;
    for (size_t p = 0; p < pieces; ++p) {
        const size_t length = rng() % 9;
        for (size_t i = 0; i < length; ++i) input.push_back(uint8_t(base + rng() % size_t(span)));
        input.push_back(separator);
    }
    return input;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED] | FILE...\n", argv[0]);
        return 2;
    }
    if (std::string(argv[1]) == "--runs" && argc == 4) {
        std::mt19937_64 rng(std::strtoull(argv[3], nullptr, 10));
        const unsigned long long runs = std::strtoull(argv[2], nullptr, 10);
        for (unsigned long long i = 0; i < runs; ++i) {
            const auto input = random_input(rng);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        std::printf("fuzz: %llu inputs, 0 failures (a failure aborts)\n", runs);
        return 0;
    }
    char *end = nullptr;
    const double seconds = std::strtod(argv[1], &end);
    if (*end != '\0') {
        for (int i = 1; i < argc; ++i) {
            std::ifstream file(argv[i], std::ios::binary);
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(data.data(), data.size());
        }
        std::printf("fuzz: replayed %d inputs, 0 failures\n", argc - 1);
        return 0;
    }
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}());
    const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    uint64_t runs = 0;
    while (std::chrono::steady_clock::now() < stop) {
        for (int i = 0; i < 100; ++i, ++runs) {
            const auto input = random_input(rng);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
    }
    std::printf("fuzz: %llu inputs, 0 failures (a failure aborts)\n", static_cast<unsigned long long>(runs));
    return 0;
}
