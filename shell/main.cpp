// Entry point of the veltrane program.
#include "veltrane_app.h"

int main() {
    CVeltraneApp app;
    app.InitInstance();
    return 0;
}
