// Runs a fuzz target without libFuzzer, for compilers that have none (g++):
// first every file named on the command line (a folder stands for the files
// in it), then inputs made from a fixed seed, each either random bytes or a
// named file with a few bytes changed, until -runs=N inputs have run or
// -max_total_time=SECONDS has passed. Without either it stops after the
// files and kDefaultRuns made inputs. Other libFuzzer options are accepted
// and ignored, so scripts can call both kinds of program alike.
//
// A crash ends the program as it would under libFuzzer; the input that
// caused it is written to crash-standalone first.

#include <algorithm>
#include <chrono>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSeed = 20261208;
constexpr long kDefaultRuns = 10000;
constexpr std::size_t kMaxLength = 4096;

const Bytes* current = nullptr;

// The input in flight is kept on disk only when it crashed, from the signal
// handler, so only async-signal-safe calls are made there.
extern "C" void onCrash(int sig) {
    if (current != nullptr) {
        FILE* f = std::fopen("crash-standalone", "wb");
        if (f != nullptr) {
            std::fwrite(current->data(), 1, current->size(), f);
            std::fclose(f);
        }
        static const char note[] = "standalone driver: crashing input written to crash-standalone\n";
        [[maybe_unused]] auto n = ::write(2, note, sizeof note - 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool flagValue(std::string_view arg, std::string_view name, long& value) {
    if (arg.substr(0, name.size()) != name) {
        return false;
    }
    value = std::strtol(std::string(arg.substr(name.size())).c_str(), nullptr, 10);
    return true;
}

void addFile(const std::filesystem::path& path, std::vector<Bytes>& files) {
    std::ifstream in(path, std::ios::binary);
    if (in) {
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
}

Bytes made(std::mt19937& rng, const std::vector<Bytes>& files) {
    Bytes out;
    if (!files.empty() && rng() % 4 != 0) {
        out = files[rng() % files.size()];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const auto kind = rng() % 4;
            if (kind == 0 || out.empty()) {
                out.insert(out.begin() + static_cast<long>(out.empty() ? 0 : rng() % out.size()),
                           static_cast<std::uint8_t>(rng()));
            } else if (kind == 1) {
                out.erase(out.begin() + static_cast<long>(rng() % out.size()));
            } else {
                out[rng() % out.size()] = static_cast<std::uint8_t>(rng());
            }
        }
        if (out.size() > kMaxLength) {
            out.resize(kMaxLength);
        }
    } else {
        out.resize(rng() % (rng() % 2 ? 64 : kMaxLength));
        std::generate(out.begin(), out.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    long runs = -1;
    long seconds = -1;
    std::vector<Bytes> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (flagValue(arg, "-runs=", runs) || flagValue(arg, "-max_total_time=", seconds)) {
            continue;
        }
        if (arg.starts_with("-")) {
            continue;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::filesystem::path> inFolder;
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) {
                    inFolder.push_back(entry.path());
                }
            }
            std::sort(inFolder.begin(), inFolder.end()); // the same order on every machine
            for (const auto& p : inFolder) {
                addFile(p, files);
            }
        } else {
            addFile(arg, files);
        }
    }
    if (runs < 0 && seconds < 0) {
        runs = kDefaultRuns;
    }

    std::signal(SIGABRT, onCrash);
    std::signal(SIGSEGV, onCrash);
    std::signal(SIGBUS, onCrash);
    std::signal(SIGFPE, onCrash);
    std::signal(SIGILL, onCrash);

    const auto began = std::chrono::steady_clock::now();
    const auto timeUp = [&] {
        return seconds >= 0 && std::chrono::steady_clock::now() - began >= std::chrono::seconds(seconds);
    };
    long done = 0;
    for (const auto& f : files) {
        current = &f;
        LLVMFuzzerTestOneInput(f.data(), f.size());
        ++done;
    }
    std::mt19937 rng(kSeed);
    Bytes input;
    while ((runs < 0 || done < runs) && !timeUp()) {
        input = made(rng, files);
        current = &input;
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++done;
    }
    current = nullptr;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // The same closing line as libFuzzer's, so scripts read both alike.
    std::printf("Done %ld runs in %.0f second(s)\n", done, elapsed);
    return 0;
}
