// The signal handlers behind StopSignal: they store the signal number and nothing else.
#include "interrupt.h"

#include <csignal>
#include <signal.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace veltrane::cli {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void NoteStop(int signal) {
    g_stopSignal = signal;
}

#ifdef _WIN32
// Windows tells a console program of Ctrl+C, Ctrl+Break and a closed console window through a handler
// on a thread of its own; each is noted as the POSIX signal it stands for.
BOOL WINAPI NoteConsoleStop(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        NoteStop(SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        NoteStop(SIGTERM);
        return TRUE;
    }
    return FALSE;
}
#endif

} // namespace

void InstallStopHandlers() {
#ifdef _WIN32
    ::SetConsoleCtrlHandler(NoteConsoleStop, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    // A second Ctrl+C is noted like the first: the run is already on its way out within one buffer-full,
    // and killing it there would only leave more behind.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
#endif
}

int StopSignal() {
    return g_stopSignal;
}

} // namespace veltrane::cli
