// Entry point of veltrane.exe. It takes nothing from the command line.
#include "veltrane_app.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    CVeltraneApp app;
    app.InitInstance();
    return 0;
}
