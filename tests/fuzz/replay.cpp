// A fuzz target's driver where libFuzzer is not at hand (a build for another processor, run
// under emulation): every input file named (or in a directory named) once, then random
// variations of them for NUCLA_FUZZ_SECONDS (default 10). No coverage guides the variations;
// the target's own checks, one path against another, do the work.
#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void add(const std::string& path, std::vector<std::string>& inputs) {
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") add(path + "/" + name, inputs);
        }
        ::closedir(dir);
        return;
    }
    std::ifstream file(path, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void run(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) add(argv[i], inputs);
    if (inputs.empty()) inputs.emplace_back(">a\nACGT\n");
    for (const std::string& input : inputs) run(input);

    const char* seconds = std::getenv("NUCLA_FUZZ_SECONDS");
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::seconds(seconds ? std::atoi(seconds) : 10);
    std::mt19937_64 rng(20261208);
    const char alphabet[] = "ACGTNacgtn>\n\r\t 0123456789";
    std::size_t runs = inputs.size();
    while (std::chrono::steady_clock::now() < until) {
        std::string input = inputs[rng() % inputs.size()];
        for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0; --edits) {
            const std::size_t at = input.empty() ? 0 : rng() % (input.size() + 1);
            switch (rng() % 4) {
                case 0:  // a byte changed, to anything or to a FASTA-ish one
                    if (at < input.size())
                        input[at] = rng() % 2 ? static_cast<char>(rng())
                                              : alphabet[rng() % (sizeof alphabet - 1)];
                    break;
                case 1:
                    input.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]);
                    break;
                case 2:
                    if (at < input.size()) input.erase(at, 1 + rng() % 16);
                    break;
                default: {  // a piece of another input
                    const std::string& other = inputs[rng() % inputs.size()];
                    if (other.empty()) break;
                    const std::size_t from = rng() % other.size();
                    input.insert(at, other, from, 1 + rng() % 64);
                }
            }
        }
        if (input.size() > 4096) input.resize(4096);
        run(input);
        ++runs;
    }
    std::printf("%zu runs\n", runs);
    return 0;
}
