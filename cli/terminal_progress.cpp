// Drawing the progress line with carriage returns, sized to the terminal's width.
#include "terminal_progress.h"

#include "conversion_run.h"
#include "interrupt.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string_view>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace veltrane::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

int TerminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO console{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &console)) {
        const int columns = console.srWindow.Right - console.srWindow.Left + 1;
        if (columns >= 40)
            return columns;
    }
#else
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40)
        return size.ws_col;
#endif
    return 80;
}

// Code points, as a stand-in for columns: close enough for a name at the start of the line.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The end of a name too long for the line, after "...", never cut inside a UTF-8 sequence.
std::string Fit(const std::string& name, std::size_t width) {
    if (Width(name) <= width)
        return name;
    std::size_t start = name.size();
    for (std::size_t kept = 0; start > 0 && kept + 3 < width;) {
        --start;
        if ((static_cast<unsigned char>(name[start]) & 0xC0) != 0x80)
            ++kept;
    }
    return "..." + name.substr(start);
}

std::string Duration(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

} // namespace

bool StderrIsTerminal() {
#ifdef _WIN32
    return ::_isatty(::_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

std::string HumanBytes(std::int64_t bytes) {
    char text[32];
    const auto value = static_cast<double>(bytes);
    if (bytes < 1000)
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    else if (bytes < 1000 * 1000)
        std::snprintf(text, sizeof text, "%.0f kB", value / 1e3);
    else if (bytes < 1000LL * 1000 * 1000)
        std::snprintf(text, sizeof text, "%.1f MB", value / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f GB", value / 1e9);
    return text;
}

TerminalProgress::TerminalProgress(std::string name, std::int64_t totalBytes, bool visible)
    : m_name(std::move(name)), m_totalBytes(totalBytes), m_visible(visible) {
    // A name is drawn with carriage returns around it: a control byte in it must not move the cursor.
    std::replace_if(
        m_name.begin(), m_name.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
}

TerminalProgress::~TerminalProgress() {
    Wipe();
}

void TerminalProgress::Begin() {
    m_start = Clock::now();
    if (m_visible && m_totalBytes >= 0)
        Draw(0);
    else if (m_visible)
        DrawStream(0); // a stream may keep the run waiting for its first bytes: show that it has begun
}

void TerminalProgress::Position(int position) {
    if (!m_visible || m_totalBytes < 0 || Clock::now() - m_lastDraw < kRedrawInterval)
        return;
    Draw(position);
}

void TerminalProgress::StreamPosition(std::int64_t bytesRead) {
    m_bytesRead = bytesRead;
    if (!m_visible || m_totalBytes >= 0 || Clock::now() - m_lastDraw < kRedrawInterval)
        return;
    DrawStream(bytesRead);
}

void TerminalProgress::DrawStream(std::int64_t bytesRead) {
    m_lastDraw = Clock::now();
    const double elapsed = std::chrono::duration<double>(m_lastDraw - m_start).count();
    char figures[64];
    if (elapsed >= 0.05)
        std::snprintf(figures, sizeof figures, "  %s  %6.1f MB/s", HumanBytes(bytesRead).c_str(),
                      static_cast<double>(bytesRead) / elapsed / 1e6);
    else
        std::snprintf(figures, sizeof figures, "  %s", HumanBytes(bytesRead).c_str());
    Put(m_name, figures);
}

void TerminalProgress::End() {
    Wipe();
}

bool TerminalProgress::StopRequested() {
    return StopSignal() != 0;
}

void TerminalProgress::Draw(int position) {
    m_lastDraw = Clock::now();
    const double fraction = static_cast<double>(position) / PROGRESS_MAX;
    const double elapsed = std::chrono::duration<double>(m_lastDraw - m_start).count();
    const double done = fraction * static_cast<double>(m_totalBytes);

    std::string bar(kBarWidth, ' ');
    const auto filled = static_cast<std::size_t>(fraction * kBarWidth);
    std::fill_n(bar.begin(), filled, '=');
    if (filled < bar.size())
        bar[filled] = '>';

    char figures[96];
    // Speed and time left only once there is something to measure them by.
    if (elapsed >= 0.05 && done > 0) {
        const double rate = done / elapsed;
        std::snprintf(figures, sizeof figures, " [%s] %3d%%  %6.1f MB/s  %s left", bar.c_str(),
                      static_cast<int>(fraction * 100), rate / 1e6,
                      Duration((static_cast<double>(m_totalBytes) - done) / rate).c_str());
    } else {
        std::snprintf(figures, sizeof figures, " [%s] %3d%%", bar.c_str(), static_cast<int>(fraction * 100));
    }
    Put(m_name, figures);
}

void TerminalProgress::Put(const std::string& name, const char* figures) {
    const auto room = static_cast<std::ptrdiff_t>(TerminalColumns()) - 1 -
                      static_cast<std::ptrdiff_t>(std::string_view(figures).size());
    std::string line = "\r";
    line += Fit(name, static_cast<std::size_t>(std::max<std::ptrdiff_t>(room, 8)));
    line += figures;
    line += "\x1b[K";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    m_drawn = true;
}

void TerminalProgress::Wipe() {
    if (!m_drawn)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
}

} // namespace veltrane::cli
