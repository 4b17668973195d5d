// Entry point of the veltrane program.
#include "veltrane_app.h"

int main(int argc, char* argv[]) {
    CVeltraneApp app(argc, argv);
    app.InitInstance();
    return 0;
}
