// The application object: owns Qt's application and runs the main dialog once.
#pragma once

#include <QApplication>

class CVeltraneApp {
public:
    CVeltraneApp();

    // Runs the main dialog modally; false tells the caller that the program ends when it closes.
    bool InitInstance();

private:
    // The program takes nothing from its command line, so Qt sees only a program name.
    int m_argc = 1;
    char m_programName[9] = "veltrane";
    char* m_argv[2] = {m_programName, nullptr};
    QApplication m_app;
};
