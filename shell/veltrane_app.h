// The application object: owns Qt's application and runs the main dialog once.
#pragma once

#include "languages.h"

#include <QApplication>
#include <QString>
#include <optional>

class CVeltraneApp {
public:
    // The first argument, if any, is a file to open as the source; the others are ignored.
    CVeltraneApp(int argc, char* argv[]);

    // Runs the main dialog modally; false tells the caller that the program ends when it closes.
    bool InitInstance();

private:
    // Qt sees only a program name: the first argument is a file whatever it looks like, even "-style".
    int m_argc = 1;
    char m_programName[9] = "veltrane";
    char* m_argv[2] = {m_programName, nullptr};
    QApplication m_app;
    veltrane::Translators m_translators;
    std::optional<QString> m_sourceFile;
};
