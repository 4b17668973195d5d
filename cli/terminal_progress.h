// The progress line a conversion draws on a terminal: bar, percent, speed and time left.
#pragma once

#include "progress_sink.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace veltrane::cli {

// Draws on stderr only when `visible` (stderr is a terminal and the user did not ask for quiet),
// at most ten times a second, and wipes its line when it goes so that the file's result line takes
// its place. Whether drawn or not, it passes a Ctrl+C on to the run. A stream, whose size is unknown
// (`totalBytes` < 0), shows the bytes read and the rate instead of a bar.
class TerminalProgress : public ProgressSink {
public:
    TerminalProgress(std::string name, std::int64_t totalBytes, bool visible);
    ~TerminalProgress() override;
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    void Begin() override;
    void Position(int position) override;
    void End() override;
    bool StopRequested() override;
    void StreamPosition(std::int64_t bytesRead) override;

    // What the run has read so far, as its StreamPosition told.
    std::int64_t BytesRead() const { return m_bytesRead; }

private:
    void Draw(int position);
    void DrawStream(std::int64_t bytesRead);
    void Put(const std::string& name, const char* figures);
    void Wipe();

    using Clock = std::chrono::steady_clock;
    std::string m_name;
    std::int64_t m_totalBytes;
    std::int64_t m_bytesRead = 0;
    bool m_visible;
    bool m_drawn = false;
    Clock::time_point m_start{};
    Clock::time_point m_lastDraw{};
};

// Whether a progress line would show at all: stderr is a terminal.
bool StderrIsTerminal();

// "1.07 GB", "512 kB", "37 bytes": decimal units, as drives and download meters count.
std::string HumanBytes(std::int64_t bytes);

} // namespace veltrane::cli
