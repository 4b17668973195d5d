// Shared helpers of the engine tests.
#include "test_support.h"

#include "video/sequence_header.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#ifndef _WIN32
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace veltrane::test {

std::filesystem::path FsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

TempDir::TempDir(const std::filesystem::path& base) {
#ifdef _WIN32
    // No mkdtemp here: a random name, taken only if create_directory made it just now.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const auto candidate = base / ("veltrane-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate))
            m_path = candidate;
    }
    if (m_path.empty())
        throw std::runtime_error("cannot create a temporary folder");
#else
    std::string pattern = (base / "veltrane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    m_path = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

#ifdef _WIN32
LoopMount::LoopMount(const std::string& type) : m_whyNot("a " + type + " image is mounted only on Linux") {}

LoopMount::~LoopMount() = default;

std::int64_t LoopMount::UsedBytes() const {
    return 0;
}

bool LoopMount::LoseThePowerAndRemount() {
    return false;
}
#else
namespace {

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

LoopMount::LoopMount(const std::string& type) {
    const std::string image = (m_dir.Path() / "image").string();
    const std::string mountPoint = (m_dir.Path() / "mnt").string();
    // Each mkfs has its own smallest size; 320 MiB suits both, and the image file stays sparse.
    const std::string options = type == "xfs" ? "-q -m reflink=1" : "-q";
    if (::geteuid() != 0)
        m_whyNot = "mounting a " + type + " image needs root";
    else if (!Run("command -v mkfs." + type))
        m_whyNot = "mkfs." + type + " is not installed (scripts/install-deps installs it)";
    else if (!Run("truncate -s 320M " + Quoted(image)) ||
             !Run("mkfs." + type + " " + options + " " + Quoted(image)))
        m_whyNot = "mkfs." + type + " failed on " + image;
    else if (!std::filesystem::create_directory(mountPoint) ||
             !Run("mount -o loop " + Quoted(image) + " " + Quoted(mountPoint)))
        m_whyNot = "mount -o loop failed: no loop devices, or not allowed in this container";
    else
        m_mounted = true;
}

bool LoopMount::LoseThePowerAndRemount() {
    const std::string mountPoint = Quoted((m_dir.Path() / "mnt").string());
    m_mounted = Run("xfs_io -x -c 'shutdown -f' " + mountPoint) && Run("umount " + mountPoint) &&
                Run("mount -o loop " + Quoted((m_dir.Path() / "image").string()) + " " + mountPoint);
    return m_mounted;
}

LoopMount::~LoopMount() {
    if (m_mounted)
        Run("umount " + Quoted((m_dir.Path() / "mnt").string()));
}

std::int64_t LoopMount::UsedBytes() const {
    const std::string mountPoint = (m_dir.Path() / "mnt").string();
    ::sync();
    struct statvfs fs {};
    if (::statvfs(mountPoint.c_str(), &fs) != 0)
        throw std::runtime_error("cannot stat " + mountPoint);
    return static_cast<std::int64_t>(fs.f_blocks - fs.f_bfree) * static_cast<std::int64_t>(fs.f_frsize);
}
#endif

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

std::uint32_t CdEdc(const std::uint8_t* sector, std::size_t end) {
    std::uint32_t edc = 0;
    for (std::size_t i = 16; i < end; ++i) {
        edc ^= sector[i];
        for (int bit = 0; bit < 8; ++bit)
            edc = (edc >> 1) ^ ((edc & 1) != 0 ? 0xD8018001u : 0u);
    }
    return edc;
}

#ifdef _WIN32
testing::AssertionResult DecodesAlike(const std::string&, std::initializer_list<std::string>) {
    return testing::AssertionSuccess() << "not judged: ffmpeg runs on the host";
}

bool WriteLookAlikeAudio(const std::string&) {
    return false;
}
#else
namespace {

// The command's standard output, or nothing when it cannot start.
std::string Output(const std::string& command) {
    std::string out;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char chunk[4096];
    std::size_t got = 0;
    while (pipe && (got = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        out.append(chunk, got);
    return out;
}

struct Decoded {
    std::string pictures;
    std::string audio;
    std::vector<std::string> complaints;
};

// What a file written by ffmpeg holds, or nothing where ffmpeg wrote none.
std::string Text(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One ffmpeg run a file: the pictures decoded, the audio packets copied. Equal packets cannot decode
// differently, so only the video's decoding is listened to.
Decoded Decode(const std::string& path) {
    const std::string pictures = path + ".pictures";
    const std::string audio = path + ".audio";
    // Nothing left from an earlier reading may pass for this one's.
    std::filesystem::remove(FsPath(pictures));
    std::filesystem::remove(FsPath(audio));
    const std::string decode =
        "ffmpeg -nostdin -v error -y -i '" + path + "' -map 0:v -f framemd5 '" + pictures + "'";
    std::string complaints = Output(decode + " -map 0:a -c copy -f framemd5 '" + audio + "' 2>&1");
    if (complaints.find("matches no streams") != std::string::npos) // a file without audio
        complaints = Output(decode + " 2>&1");
    Decoded decoded;
    std::istringstream lines(Text(pictures));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("#sar", 0) != 0)
            decoded.pictures += line + "\n";
    decoded.audio = Text(audio);
    std::istringstream said(complaints);
    for (std::string line; std::getline(said, line);)
        decoded.complaints.push_back(line);
    return decoded;
}

// The first line where two checksum listings part, for a message of one line rather than two listings.
std::string FirstDifference(const std::string& actual, const std::string& expected) {
    std::istringstream a(actual);
    std::istringstream e(expected);
    std::string lineA;
    std::string lineE;
    while (std::getline(e, lineE))
        if (!std::getline(a, lineA) || lineA != lineE)
            return "\"" + lineA + "\", expected \"" + lineE + "\"";
    return "more lines than expected";
}

} // namespace

testing::AssertionResult DecodesAlike(const std::string& source,
                                      std::initializer_list<std::string> converted) {
    if (Output("ffmpeg -version 2>/dev/null").empty())
        return testing::AssertionSuccess() << "not judged: ffmpeg is missing";
    const Decoded before = Decode(source);
    // A frame line starts with a stream number: a source without one would make the check a vacuous pass.
    if (before.pictures.find("\n0,") == std::string::npos)
        return testing::AssertionFailure() << source << " decodes to no pictures";
    for (const std::string& path : converted) {
        const Decoded after = Decode(path);
        if (after.pictures != before.pictures)
            return testing::AssertionFailure()
                   << path
                   << ": decoded pictures differ: " << FirstDifference(after.pictures, before.pictures);
        if (after.audio != before.audio)
            return testing::AssertionFailure()
                   << path << ": audio packets differ: " << FirstDifference(after.audio, before.audio);
        if (after.complaints.size() > before.complaints.size())
            return testing::AssertionFailure()
                   << "ffmpeg complains of " << path << ": " << after.complaints[0];
    }
    return testing::AssertionSuccess();
}

bool WriteLookAlikeAudio(const std::string& path) {
    const std::string source = std::string(VELTRANE_TEST_DATA_DIR) + "/mpeg2_ps_4x3.mpg";
    if (std::system(("ffmpeg -nostdin -v error -y -i '" + source + "' -map 0:a -c copy -f mp2 '" + path + "'")
                        .c_str()) != 0)
        return false;
    Bytes audio = ReadAll(path);
    std::istringstream frames(
        Output("ffprobe -v error -show_entries packet=pos,size -of csv=p=0 '" + path + "'"));
    const Bytes header = {0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x23, 0x13, 0x88, 0x1F, 0xFC};
    std::size_t planted = 0;
    for (std::string line; std::getline(frames, line);) {
        std::size_t size = 0;
        std::size_t pos = 0;
        if (std::sscanf(line.c_str(), "%zu,%zu", &size, &pos) != 2 || size < 64 || pos + size > audio.size())
            continue;
        std::copy(header.begin(), header.end(), audio.begin() + static_cast<std::ptrdiff_t>(pos + size / 2));
        ++planted;
    }
    WriteAll(path, audio);
    return planted > 0;
}
#endif

} // namespace veltrane::test
