// Shared helpers of the engine tests.
#include "test_support.h"

#include "sequence_header.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace veltrane::test {

std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

TempDir::TempDir() {
#ifdef _WIN32
    // No mkdtemp here: a random name, taken only if create_directory made it just now.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const auto candidate =
            std::filesystem::temp_directory_path() / ("veltrane-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate))
            m_path = candidate;
    }
    if (m_path.empty())
        throw std::runtime_error("cannot create a temporary folder");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    if (actual.size() != expected.size())
        return testing::AssertionFailure() << "size " << actual.size() << ", expected " << expected.size();
    const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin());
    if (a != actual.end())
        return testing::AssertionFailure() << "first difference at offset " << (a - actual.begin()) << ": "
                                           << int{*a} << ", expected " << int{*e};
    return testing::AssertionSuccess();
}

Bytes ReferenceConversion(Bytes bytes, ConversionMode mode) {
    for (std::size_t i = 0; i + 7 < bytes.size(); ++i) {
        if (bytes[i] == 0x00 && bytes[i + 1] == 0x00 && bytes[i + 2] == 0x01 && bytes[i + 3] == 0xB3)
            bytes[i + 7] = RewriteAspectByte(bytes[i + 7], mode);
    }
    return bytes;
}

Bytes SequenceHeader(std::uint8_t aspectByte) {
    // 720 x 576, then the aspect code and frame rate under test.
    return {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, aspectByte};
}

} // namespace veltrane::test
