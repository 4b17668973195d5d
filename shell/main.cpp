// Entry point of the veltrane program.
#include "process_start.h"
#include "veltrane_app.h"

int main() {
    veltrane::IgnoreWriteSignals();
    CVeltraneApp app;
    app.InitInstance();
    return 0;
}
