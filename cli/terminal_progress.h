// The progress line a conversion draws on a terminal: bar, percent, speed and time left.
#pragma once

#include "progress_sink.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace veltrane::cli {

// Draws on stderr only when `visible` (stderr is a terminal and the user did not ask for quiet),
// at most ten times a second, and wipes its line when it goes so that the file's result line takes
// its place. Whether drawn or not, it passes a Ctrl+C on to the run.
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

private:
    void Draw(int position);
    void Wipe();

    using Clock = std::chrono::steady_clock;
    std::string m_name;
    std::int64_t m_totalBytes;
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
