// The application object: owns Qt's application and runs the main dialog once.
#include "veltrane_app.h"

#include "dialog_services.h"
#include "veltrane_dlg.h"

CVeltraneApp::CVeltraneApp() : m_app(m_argc, m_argv) {}

bool CVeltraneApp::InitInstance() {
    veltrane::QtDialogServices services;
    CVeltraneDlg dlg(services);
    dlg.exec();
    return false;
}
