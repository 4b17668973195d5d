// The subcommands and options of veltrane-cli, and the help text that describes them.
#include "cli_options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>

namespace veltrane::cli {

namespace {

constexpr const char* kDescription =
    "veltrane-cli changes the declared display aspect ratio of MPEG-1 and MPEG-2 video files\n"
    "(4:3 <-> 16:9) without re-encoding: it copies a file byte for byte and rewrites only the aspect\n"
    "code of every video sequence header, in elementary, program and transport streams alike.";

constexpr const char* kFooter =
    "Every subcommand takes any number of files; one bad file never stops the others.\n"
    "Each failure is one line on standard error: the file's name and what went wrong.\n"
    "Results go to standard output, everything else to standard error.\n"
    "\n"
    "Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage error,\n"
    "130 when interrupted by Ctrl+C (SIGINT), 143 by SIGTERM, 141 (quietly) when the\n"
    "reader of standard output went away.\n"
    "\n"
    "Run 'veltrane-cli SUBCOMMAND --help' for the options and output of each subcommand.";

constexpr const char* kJsonNote =
    "File names are passed through as bytes. In JSON a name that is not valid UTF-8 is written\n"
    "with U+FFFD for each stray byte, and its exact bytes follow as lower-case hexadecimal\n"
    "under the same key with \"_hex\" appended (\"file_hex\", \"output_hex\").";

constexpr const char* kWalkNote =
    "With -r a folder stands for every file under it, in name order, that holds MPEG-1/2 video by\n"
    "its own bytes (the names do not matter); other files are skipped and counted. A folder\n"
    "without -r is refused.\n";

const std::string kVersion = std::string("veltrane-cli ") + VELTRANE_VERSION;

void AddOutputFlags(CLI::App& command, Request& request) {
    command.add_flag("--json", request.json, "One JSON object per file on stdout, one a line");
    command.add_flag("-q,--quiet", request.quiet, "No progress line, no summary; results and failures stay");
    command.set_version_flag("-V,--version", kVersion, "Print the version and exit");
}

void AddFiles(CLI::App& command, Request& request, const char* what) {
    command.add_option("FILE", request.files, what)->required()->type_name("");
}

} // namespace

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
    Request request;
    std::string to;

    CLI::App app(kDescription, "veltrane-cli");
    app.set_version_flag("-V,--version", kVersion, "Print the version and exit");
    app.require_subcommand(1);
    app.footer(kFooter);

    CLI::App* probe =
        app.add_subcommand("probe", "Tell the aspect each file's first sequence header declares");
    AddFiles(*probe, request, "Files to probe; only the head of each is read");
    AddOutputFlags(*probe, request);
    probe->footer(
        std::string("Prints per file one of 4:3, 16:9 or 'unknown (code N)', as the dialog's choice of a\n"
                    "source tells it; a file without a sequence header near its start, or that cannot be\n"
                    "read, is a failure.\n"
                    "JSON: {\"file\":..., \"ok\":true, \"aspect\":\"4:3\"|\"16:9\"|\"unknown\", "
                    "\"aspect_code\":N}\n"
                    "   or {\"file\":..., \"ok\":false, \"error\":TEXT}\n\n") +
        kJsonNote);

    CLI::App* scan = app.add_subcommand("scan", "Read each whole file: container, headers, aspect codes");
    AddFiles(*scan, request, "Files to scan (folders with -r); all of each is read, nothing written");
    scan->add_flag("-r,--recursive", request.recursive, "Scan the files under a folder");
    AddOutputFlags(*scan, request);
    scan->footer(
        std::string(
            "Prints per file its container, how many sequence headers it holds and how many declare\n"
            "each aspect code, and whether they all agree: this is how to check a converted copy.\n"
            "A file without a sequence header, or that cannot be read, is a failure.\n" +
            std::string(kWalkNote) +
            "JSON: {\"file\":..., \"ok\":true, \"container\":\"elementary\"|\"program\"|\"transport\"|"
            "\"transport-192\"|\"cd-xa\"|\"cd-image\",\n"
            "       \"bytes\":N, \"headers\":N, \"aspect_codes\":{\"2\":N, \"3\":N, ...},\n"
            "       \"aspects\":{\"4:3\":N, \"16:9\":N, \"unknown\":N}, \"agree\":true|false}\n"
            "aspect_codes counts the headers by code; aspects by the shape they declare (an MPEG-1\n"
            "code means a pixel shape, so its picture shape depends on the picture's size).\n"
            "   or {\"file\":..., \"ok\":false, \"error\":TEXT}\n\n") +
        kJsonNote);

    CLI::App* convert =
        app.add_subcommand("convert", "Copy each file with every header's aspect code rewritten");
    convert->add_option("--to", to, "The aspect to declare; flip: the other one, per file")
        ->required()
        ->check(CLI::IsMember({"16:9", "4:3", "flip"}).description(""))
        ->type_name("16:9|4:3|flip");
    AddFiles(*convert, request, "Files to convert, - for standard input; read only, except with --in-place");
    CLI::Option* output =
        convert
            ->add_option("-o,--output", request.output, "Where the copy of the one FILE goes, - for stdout")
            ->type_name("OUT");
    CLI::Option* outDir =
        convert->add_option("--out-dir", request.outDir, "A folder for the copies, names kept")
            ->check(CLI::ExistingDirectory.description(""))
            ->type_name("DIR");
    CLI::Option* inPlace =
        convert->add_flag("--in-place", request.inPlace, "Rewrite the aspect bytes inside FILE itself");
    CLI::Option* force = convert->add_flag("-f,--force", request.force, "Replace a destination that exists");
    CLI::Option* walk = convert->add_flag("-r,--recursive", request.recursive,
                                          "Convert the files under a folder, the tree kept");
    convert->add_flag("-n,--dry-run", request.dryRun, "Read and tell what would be rewritten; write nothing");
    output->excludes(outDir)->excludes(inPlace);
    outDir->excludes(inPlace);
    force->excludes(inPlace);
    walk->excludes(output);
    AddOutputFlags(*convert, request);
    convert->footer(
        std::string(
            "--to 16:9 rewrites every header that declares 4:3, --to 4:3 every one that declares\n"
            "16:9; other codes are kept. flip converts each file away from what its first header\n"
            "declares; a file whose aspect is unknown fails.\n"
            "\n"
            "A file without an MPEG-1/2 video sequence header fails and nothing is written; a\n"
            "file already in the aspect asked for is copied unchanged and told so.\n"
            "\n"
            "Exactly one of -o, --out-dir or --in-place says where the result goes (none with\n"
            "--dry-run, which reads each file and tells how many headers it would rewrite). An\n"
            "existing destination is refused unless --force; a destination that is the source\n"
            "itself always is. The source is never written to, except with --in-place, which\n"
            "writes nothing but the aspect bytes inside it (not with flip). Running --in-place\n"
            "again with the same --to is harmless and completes a run that was interrupted.\n"
            "\n" +
            std::string(kWalkNote) +
            "The copies go into --out-dir under the folder's own name, the tree below it kept.\n"
            "\n"
            "A DVD-Video folder (VIDEO_TS, or a folder holding one) given alone converts as a\n"
            "whole: -o OUT writes the same folder under OUT (built beside it, named OUT only when\n"
            "complete), --in-place fixes it where it is. Every VOB is converted and every video\n"
            "attribute of the IFO and BUP files that describes it set to match; flip turns each\n"
            "title set and menu away from its own aspect. scan on such a folder tells each VOB's\n"
            "headers beside what its IFO says, and each IFO's attributes.\n"
            "\n"
            "Streams: - as FILE reads standard input, -o - writes standard output, and a FIFO or\n"
            "pipe (<(command)) is read as it comes; each is converted with --to 16:9 or --to 4:3\n"
            "(flip would need the stream's head before its copy starts). When standard output\n"
            "carries the video, every report goes to standard error.\n"
            "\n"
            "On a terminal a progress line shows while each file converts (a stream's shows the\n"
            "bytes so far). Ctrl+C stops the run within one buffer-full; nothing is left at the\n"
            "destination's name but what was there before.\n"
            "\n"
            "JSON: {\"file\":..., \"output\":..., \"ok\":true, \"to\":\"16:9\"|\"4:3\", "
            "\"bytes\":N, \"headers\":N,\n"
            "       \"rewritten\":N, \"seconds\":S, \"in_place\":true|false, \"dry_run\":true|false}\n"
            "   or {\"file\":..., \"ok\":true, \"skipped\":\"no MPEG-1/2 video\"} (found by -r)\n"
            "   or {\"file\":..., \"output\":..., \"ok\":false, \"error\":TEXT}\n\n") +
        kJsonNote);

    try {
        app.parse(argc, argv);
        if (convert->parsed()) {
            if (output->count() + outDir->count() + inPlace->count() == 0 && !request.dryRun)
                throw CLI::ValidationError("convert needs one of -o OUT, --out-dir DIR or --in-place");
            if (output->count() > 0 && request.files.size() > 1)
                throw CLI::ValidationError("-o names the destination of one file; for several use --out-dir");
            if (request.inPlace && to == "flip")
                throw CLI::ValidationError("--in-place needs --to 16:9 or --to 4:3, not flip");
        }
    } catch (const CLI::ParseError& error) {
        // --help and --version: CLI11 prints them on stdout.
        if (error.get_exit_code() == 0) {
            app.exit(error);
            return {std::nullopt, EXIT_ALL_DONE};
        }
        const bool anySubcommand = probe->parsed() || scan->parsed() || convert->parsed();
        std::string what = error.what();
        // CLI11 says only that a subcommand is required, also of one it has never heard of.
        if (!anySubcommand && argc > 1 && argv[1][0] != '-')
            what = std::string("unknown subcommand '") + argv[1] + "' (probe, scan or convert)";
        else if (!anySubcommand)
            what = "a subcommand is needed: probe, scan or convert";
        // CLI11 writes sentences; a Unix tool's messages start in lower case.
        else if (what.size() > 1 && std::isupper(static_cast<unsigned char>(what[0])) &&
                 std::islower(static_cast<unsigned char>(what[1])))
            what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
        const char* help = convert->parsed() ? "convert --help"
                           : scan->parsed()  ? "scan --help"
                           : probe->parsed() ? "probe --help"
                                             : "--help";
        std::fprintf(stderr, "veltrane-cli: %s\nRun 'veltrane-cli %s' for more.\n", what.c_str(), help);
        return {std::nullopt, EXIT_USAGE};
    }

    if (probe->parsed())
        request.command = Command::Probe;
    else if (scan->parsed())
        request.command = Command::Scan;
    else
        request.command = Command::Convert;
    request.target = to == "16:9" ? Target::To16x9 : to == "4:3" ? Target::To4x3 : Target::Flip;
    return {std::move(request), EXIT_ALL_DONE};
}

} // namespace veltrane::cli
