// veltrane-cli: the engine's conversion, probe and scan for batches, scripts and machines without a desktop.
#include "batch.h"
#include "cli_options.h"
#include "interrupt.h"
#include "process_start.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <string>
#include <utility>
#include <vector>
#include <windows.h>
#endif

namespace {

int Run(int argc, char** argv) {
    // Also a reader that goes away (| head) then ends our output, not the program: the write fails and is
    // told.
    veltrane::IgnoreWriteSignals();
    veltrane::cli::InstallStopHandlers();
    const veltrane::cli::ParsedCommandLine parsed = veltrane::cli::ParseCommandLine(argc, argv);
    if (!parsed.request)
        return parsed.exitStatus;
    return veltrane::cli::RunBatch(*parsed.request);
}

} // namespace

#ifdef _WIN32
// A narrow main would get its arguments in the ANSI code page, which loses every name outside it: the
// wide ones come in whole and go on as UTF-8, which the engine and the output take.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), size, nullptr, nullptr);
        text.resize(text.size() - 1);
        arguments.push_back(std::move(text));
    }
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    // The console shows what is printed, names included, as UTF-8.
    ::SetConsoleOutputCP(CP_UTF8);
    return Run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    return Run(argc, argv);
}
#endif
