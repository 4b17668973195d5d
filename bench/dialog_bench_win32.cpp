// Times a conversion started from the Windows dialog's run button against RunConversion alone, in
// alternating rounds; the progress bar is the dialog's only cost. Meant to run under wine or on Windows.
// Usage: dialog_bench_win32 <source> <output-folder> [rounds]   (UTF-8 paths)
#include "conversion_run.h"
#include "dialog_services.h"
#include "resource.h"
#include "veltrane_dlg.h"
#include "windows_text.h"

#include <algorithm>
#include <chrono>
#include <commctrl.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class QuietSink : public veltrane::ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

// The desktop of a run: nothing is chosen and nothing goes wrong, so only the cursor and beep are real.
class BenchServices final : public veltrane::DialogServices {
public:
    int errors = 0;
    std::optional<std::wstring> ChooseSourcePath(HWND) override { return std::nullopt; }
    std::optional<std::wstring> ChooseDestPath(HWND, const std::wstring&) override { return std::nullopt; }
    void ShowError(HWND, const std::wstring& text) override {
        ++errors;
        std::fprintf(stderr, "dialog_bench_win32: %s\n", veltrane::Narrow(text).c_str());
    }
    void ShowInfo(HWND owner, const std::wstring& text) override { ShowError(owner, text); }
    void Beep() override {}
    void BeginWaitCursor() override { m_real.BeginWaitCursor(); }
    void EndWaitCursor() override { m_real.EndWaitCursor(); }

private:
    veltrane::Win32DialogServices m_real;
};

template <typename Work> double Seconds(Work work) {
    const Clock::time_point start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dialog_bench_win32 <source> <output-folder> [rounds]\n");
        return 2;
    }
    const std::string source = argv[1];
    const std::string output = std::string(argv[2]) + "\\veltrane-dialog-bench-out.mpg";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    BenchServices services;
    CVeltraneDlg dialog(services);
    if (!dialog.Create(nullptr))
        return 1;
    ::SetDlgItemTextW(dialog.GetSafeHwnd(), IDC_SOURCE_PATH, veltrane::Widen(source).c_str());
    ::SetDlgItemTextW(dialog.GetSafeHwnd(), IDC_DEST_PATH, veltrane::Widen(output).c_str());
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&msg);

    std::vector<double> engine, shown;
    for (int round = 0; round < rounds; ++round) {
        engine.push_back(Seconds([&] {
            QuietSink sink;
            if (veltrane::RunConversion(source, output, veltrane::ConversionMode::To16x9, sink) !=
                veltrane::RunOutcome::Completed) {
                std::fprintf(stderr, "dialog_bench_win32: the engine run failed\n");
                std::exit(1);
            }
        }));
        shown.push_back(Seconds([&] { ::SendMessageW(dialog.GetDlgItem(IDC_RUN), BM_CLICK, 0, 0); }));
        if (services.errors != 0)
            return 1;
        std::printf("round %d: engine %.3f s, dialog %.3f s\n", round + 1, engine.back(), shown.back());
    }
    ::DeleteFileW(veltrane::Widen(output).c_str());
    std::printf("median wall: engine %.3f s, dialog %.3f s, ratio %.3f\n", Median(engine), Median(shown),
                Median(shown) / Median(engine));
    return 0;
}
