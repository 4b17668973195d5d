// Entry point of the veltrane program.
#include "io/process_start.h"
#include "veltrane_app.h"

int main(int argc, char* argv[]) {
    veltrane::IgnoreWriteSignals();
    CVeltraneApp app(argc, argv);
    app.InitInstance();
    return 0;
}
