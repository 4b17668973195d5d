// The application object: runs the main dialog once; when it closes, the program ends.
#include "veltrane_app.h"

#include "dialog_services.h"
#include "veltrane_dlg.h"

#include <commctrl.h>

bool CVeltraneApp::InitInstance() {
    // The progress bar's window class lives in the common controls.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    veltrane::Win32DialogServices services;
    CVeltraneDlg dlg(services);
    dlg.DoModal();
    return false;
}
