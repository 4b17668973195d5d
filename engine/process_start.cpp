// Start-up settings of the process that the engine's failure handling relies on.
#include "process_start.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace veltrane {

void IgnoreWriteSignals() {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace veltrane
