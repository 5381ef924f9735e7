// Stand-in for libFuzzer's main when the fuzz targets are built with the
// ordinary compiler: it replays the corpus, then feeds mutations of it for a
// bounded time, so that every test run exercises the parsers with hostile
// input. A crash or a sanitizer report fails the test; there is nothing to
// compare.
#include <QCoreApplication>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> ReadCorpus(int argc, char** argv)
{
    std::vector<Bytes> corpus;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path root(argv[i]);
        if (!std::filesystem::exists(root))
            continue;
        auto add = [&](const std::filesystem::path& p) {
            std::ifstream in(p, std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        };
        if (std::filesystem::is_directory(root)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
                if (entry.is_regular_file())
                    add(entry.path());
        } else {
            add(root);
        }
    }
    return corpus;
}

void Mutate(Bytes& input, std::mt19937& rng)
{
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const size_t size = input.size();
        switch (rng() % 6) {
        case 0: // flip a bit
            if (size)
                input[rng() % size] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        case 1: // set a byte to an interesting value
            if (size) {
                static const uint8_t values[] = { 0, 1, 0x7f, 0x80, 0xfe, 0xff };
                input[rng() % size] = values[rng() % std::size(values)];
            }
            break;
        case 2: // insert random bytes
        {
            const size_t at = size ? rng() % (size + 1) : 0;
            const size_t count = 1 + rng() % 16;
            Bytes extra(count);
            for (auto& b : extra)
                b = static_cast<uint8_t>(rng());
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
            break;
        }
        case 3: // cut the tail
            if (size)
                input.resize(rng() % size);
            break;
        case 4: // erase a range
            if (size > 1) {
                const size_t at = rng() % size;
                const size_t count = 1 + rng() % std::min<size_t>(size - at, 32);
                input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                    input.begin() + static_cast<std::ptrdiff_t>(at + count));
            }
            break;
        default: // overwrite four bytes with a random 32-bit value
            if (size >= 4) {
                const size_t at = rng() % (size - 3);
                const uint32_t v = static_cast<uint32_t>(rng());
                for (int k = 0; k < 4; ++k)
                    input[at + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
            }
            break;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<Bytes> corpus = ReadCorpus(argc, argv);
    for (const Bytes& input : corpus)
        LLVMFuzzerTestOneInput(input.data(), input.size());
    if (corpus.empty())
        corpus.emplace_back();

    const char* secondsText = std::getenv("TONVARA_FUZZ_SECONDS");
    const double seconds = secondsText ? std::atof(secondsText) : 10.0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::mt19937 rng(0x70E5A7u);
    long runs = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        Bytes input = corpus[rng() % corpus.size()];
        Mutate(input, rng);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("fuzz driver: %zu corpus inputs, %ld generated inputs\n", corpus.size(), runs);
    return 0;
}
