// The scratch folder and the findings of every fuzz target.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace veltrane::fuzz {

namespace {
// A plain array, so that it outlives the exit handler that removes the folder it names.
char g_folder[64] = {};

void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

std::string ScratchFolder() {
    if (g_folder[0] == '\0') {
        std::snprintf(g_folder, sizeof g_folder, "%s/veltrane-fuzz-XXXXXX",
                      ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (::mkdtemp(g_folder) == nullptr)
            Finding("no scratch folder");
        std::atexit(RemoveScratch);
    }
    return g_folder;
}
} // namespace

std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = ScratchFolder() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush())
        Finding("cannot write the scratch file");
    return path;
}

std::vector<std::uint8_t> ReadScratch(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Finding(const char* what, std::uint64_t at) {
    std::fprintf(stderr, "veltrane fuzz finding: %s (at %llu)\n", what, static_cast<unsigned long long>(at));
    std::abort();
}

} // namespace veltrane::fuzz
