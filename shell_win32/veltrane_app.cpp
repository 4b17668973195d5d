// The application object: runs the main dialog once; when it closes, the program ends.
#include "veltrane_app.h"

#include "dialog_services.h"
#include "resource_language.h"
#include "veltrane_dlg.h"

#include <commctrl.h>
#include <string>

namespace {

// The first argument, taken in UTF-16 from the system so that any file name arrives whole.
std::wstring FileArgument() {
    std::wstring argument;
    int count = 0;
    if (LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        if (count > 1)
            argument = arguments[1];
        ::LocalFree(arguments);
    }
    return argument;
}

} // namespace

bool CVeltraneApp::InitInstance() {
    // The progress bar's window class lives in the common controls.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    veltrane::SelectResourceLanguage();
    veltrane::Win32DialogServices services;
    CVeltraneDlg dlg(services, FileArgument());
    dlg.DoModal();
    return false;
}
