// Entry point of veltrane.exe.
#include "io/process_start.h"
#include "veltrane_app.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    veltrane::IgnoreWriteSignals();
    CVeltraneApp app;
    app.InitInstance();
    return 0;
}
