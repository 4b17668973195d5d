// The application object: runs the main dialog once; when it closes, the program ends.
#pragma once

class CVeltraneApp {
public:
    // Runs the dialog modally and returns false: there is no message loop after it. `veltrane FILE`
    // opens FILE as the source once the window is up, as Explorer's "Open with" does.
    bool InitInstance();
};
