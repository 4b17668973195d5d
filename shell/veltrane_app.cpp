// The application object: owns Qt's application and runs the main dialog once.
#include "veltrane_app.h"

#include "dialog_services.h"
#include "veltrane_dlg.h"

#include <QFile>
#include <QLocale>

CVeltraneApp::CVeltraneApp(int argc, char* argv[])
    : m_app(m_argc, m_argv),
      m_translators(veltrane::InstallTranslators(QLocale(QLocale::system().uiLanguages().value(0)))) {
    if (argc > 1) {
        m_sourceFile = QFile::decodeName(argv[1]);
    }
    // Lets Wayland desktops find the window's menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(VELTRANE_APP_ID));
}

bool CVeltraneApp::InitInstance() {
    veltrane::QtDialogServices services;
    CVeltraneDlg dlg(services);
    if (m_sourceFile) {
        // Opened once the window is up, so that a failed probe's message box stands over it.
        QMetaObject::invokeMethod(
            &dlg, [&dlg, path = *m_sourceFile] { dlg.OpenSource(path); }, Qt::QueuedConnection);
    }
    dlg.exec();
    return false;
}
