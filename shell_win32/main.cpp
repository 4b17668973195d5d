// Entry point of veltrane.exe.
#include "process_start.h"
#include "program_info.h"
#include "veltrane_app.h"
#include "windows_text.h"

#include <cstring>
#include <windows.h>

namespace {

// What `--help` or `--version` as the first argument asks to be printed, or nullptr.
const char* ProgramInfo() {
    const char* info = nullptr;
    int count = 0;
    if (LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        if (count > 1)
            info = veltrane::res::ProgramInfoFor(veltrane::Narrow(arguments[1]));
        ::LocalFree(arguments);
    }
    return info;
}

// A program without a console prints where its output was sent (a file, a pipe, a console it was
// given); started from Explorer or a shortcut it has nowhere to print, and says it in a box instead.
bool Print(const char* text) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && ::GetFileType(out) != FILE_TYPE_UNKNOWN) {
        DWORD written = 0;
        const auto size = static_cast<DWORD>(std::strlen(text));
        return ::WriteFile(out, text, size, &written, nullptr) && written == size;
    }
    return ::MessageBoxW(nullptr, veltrane::Widen(text).c_str(), L"Veltrane", MB_ICONINFORMATION) != 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (const char* info = ProgramInfo())
        return Print(info) ? 0 : 1;
    veltrane::IgnoreWriteSignals();
    CVeltraneApp app;
    app.InitInstance();
    return 0;
}
