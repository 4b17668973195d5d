// The signal handlers behind StopSignal: they store the signal number and nothing else.
#include "interrupt.h"

#include <csignal>
#include <signal.h>

namespace veltrane::cli {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void NoteStop(int signal) {
    g_stopSignal = signal;
}

} // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    // A second Ctrl+C is noted like the first: the run is already on its way out within one buffer-full,
    // and killing it there would only leave more behind.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int StopSignal() {
    return g_stopSignal;
}

} // namespace veltrane::cli
