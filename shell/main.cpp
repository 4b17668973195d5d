// Entry point of the veltrane program.
#include "process_start.h"
#include "program_info.h"
#include "veltrane_app.h"

#include <cstdio>

int main(int argc, char* argv[]) {
    // Answered before Qt starts, so that they work without a display.
    if (const char* info = argc > 1 ? veltrane::res::ProgramInfoFor(argv[1]) : nullptr) {
        return std::fputs(info, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    }
    veltrane::IgnoreWriteSignals();
    CVeltraneApp app(argc, argv);
    app.InitInstance();
    return 0;
}
