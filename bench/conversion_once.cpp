// One RunConversion from the command line, with nothing around it: the engine's own time as a
// process, for comparing veltrane-cli against in the same way it is timed.
// Usage: conversion_once <source> <dest>
#include "conversion_run.h"

#include <cstdio>

namespace {

class QuietSink : public veltrane::ProgressSink {
public:
    void Begin() override {}
    void Position(int) override {}
    void End() override {}
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <source> <dest>\n", argv[0]);
        return 2;
    }
    QuietSink sink;
    const veltrane::RunOutcome outcome =
        veltrane::RunConversion(argv[1], argv[2], veltrane::ConversionMode::To16x9, sink);
    if (outcome != veltrane::RunOutcome::Completed) {
        std::fprintf(stderr, "conversion_once: %s\n", veltrane::OutcomeText(outcome).data());
        return 1;
    }
    return 0;
}
