// Shared helpers of the engine tests: scratch folders, whole-file I/O, a reference model, a recording sink.
#pragma once

#include "progress_sink.h"
#include "video/conversion_mode.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

namespace veltrane::test {

using Bytes = std::vector<std::uint8_t>;

// Paths cross between the tests and the engine as UTF-8; on Windows std::filesystem's narrow strings
// are in the ANSI code page instead, so every crossing goes through these two.
std::filesystem::path FsPath(const std::string& utf8);
std::string Utf8(const std::filesystem::path& path);

// A fresh folder under the system's temporary folder (or `base`), removed with everything in it at
// scope exit.
class TempDir {
public:
    explicit TempDir(const std::filesystem::path& base = std::filesystem::temp_directory_path());
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The path of `name` inside the folder, in UTF-8 as the engine takes paths.
    std::string File(const std::string& name) const { return Utf8(m_path / FsPath(name)); }

private:
    std::filesystem::path m_path;
};

// A small file system of the given type (xfs, btrfs) made in an image file and mounted on a loop
// device for the life of the object, where this machine allows it: root, the mkfs program, loop
// devices. Otherwise nothing is mounted and WhyNot() says why, for a test to skip with.
class LoopMount {
public:
    explicit LoopMount(const std::string& type);
    ~LoopMount();
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;

    bool IsMounted() const { return m_mounted; }
    const std::string& WhyNot() const { return m_whyNot; }
    std::string File(const std::string& name) const { return (m_dir.Path() / "mnt" / name).string(); }
    // Bytes in use on the file system, after all written data has reached it.
    std::int64_t UsedBytes() const;
    // A power loss, as XFS stages one: the log (every name and size the file system has taken in)
    // reaches the image, file data still in memory does not; then the image is mounted afresh.
    bool LoseThePowerAndRemount();

private:
    TempDir m_dir;
    bool m_mounted = false;
    std::string m_whyNot;
};

Bytes ReadAll(const std::string& path);
void WriteAll(const std::string& path, const Bytes& bytes);

// Equal bytes, or the first offset where they differ (never a dump of megabytes).
testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected);

// What a conversion must produce, worked out the slow and obvious way: every position whose bytes
// are 00 00 01 B3 and whose seventh byte after it exists gets that byte rewritten.
Bytes ReferenceConversion(Bytes bytes, ConversionMode mode);

// The EDC of a CD sector's bytes [16, end), bit by bit as the CD-ROM XA rules define it.
std::uint32_t CdEdc(const std::uint8_t* sector, std::size_t end);

// A sequence header start code followed by sizes and the given aspect/frame-rate byte.
Bytes SequenceHeader(std::uint8_t aspectByte);

// Whether each of the `converted` files decodes as `source` does in ffmpeg: the same pictures
// (framemd5 of every decoded frame; the sample aspect line is left out, changing it being the point),
// every audio packet the same byte for byte, and no complaint from the video decoder where the source
// draws none (no more where it does). Succeeds without looking where ffmpeg is missing, and on
// Windows, whose test paths the host's ffmpeg cannot read.
testing::AssertionResult DecodesAlike(const std::string& source,
                                      std::initializer_list<std::string> converted);

// The MPEG audio of tests/data's program stream written to `path` with a sequence header planted in
// the middle of every frame: an audio track that holds look-alikes a walk must never search.
bool WriteLookAlikeAudio(const std::string& path);

// Remembers every call, for checking what a run reported and in which order.
class RecordingSink : public ProgressSink {
public:
    void Begin() override { ++begins; }
    void Position(int position) override { positions.push_back(position); }
    void End() override { ++ends; }

    int begins = 0;
    int ends = 0;
    std::vector<int> positions;
};

} // namespace veltrane::test
