// The application object: runs the main dialog once; when it closes, the program ends.
#pragma once

class CVeltraneApp {
public:
    // Runs the dialog modally and returns false: there is no message loop after it.
    bool InitInstance();
};
