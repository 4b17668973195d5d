// Classifying the command line's names and walking the folders given with -r.
#include "source_list.h"

#include "batch.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace veltrane::cli {

namespace fs = std::filesystem;

namespace {

// The name a walked folder keeps under --out-dir, as cp -r keeps it: "rec" for rec and rec/, none
// for . and .., whose files go straight into --out-dir.
fs::path OwnName(const fs::path& folder) {
    fs::path normal = folder.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path())
        normal = normal.parent_path();
    const fs::path name = normal.filename();
    return name == "." || name == ".." ? fs::path() : name;
}

bool SameFolder(const fs::path& a, const std::string& b) {
    std::error_code error;
    return !b.empty() && fs::equivalent(a, FsPath(b), error);
}

void Walk(const Request& request, const std::string& name, std::vector<Source>& sources) {
    const fs::path root = FsPath(name);
    const fs::path own = OwnName(root);
    std::vector<Source> found;
    std::error_code error;
    fs::recursive_directory_iterator it(root, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        // Copies made into a folder inside the walked tree are not sources: a second run must not
        // convert them again.
        if (it->is_directory(typeError)) {
            if (SameFolder(it->path(), request.outDir))
                it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(typeError))
            continue;
        Source source;
        source.file = NameOf(it->path());
        source.walked = true;
        source.mirror = NameOf(own / it->path().lexically_relative(root));
        found.push_back(std::move(source));
    }
    std::sort(found.begin(), found.end(), [](const Source& a, const Source& b) { return a.file < b.file; });
    sources.insert(sources.end(), found.begin(), found.end());
    if (error) {
        Source failed;
        failed.file = it == fs::recursive_directory_iterator() ? name : NameOf(it->path());
        failed.refusal = "can't read the folder: " + error.message();
        sources.push_back(std::move(failed));
    }
}

} // namespace

SourceKind ClassifySource(const std::string& name) {
    if (name == "-")
        return SourceKind::Stream;
    std::error_code error;
    const fs::file_status status = fs::status(FsPath(name), error);
    switch (status.type()) {
    case fs::file_type::directory:
        return SourceKind::Folder;
    case fs::file_type::fifo:
    case fs::file_type::character:
    case fs::file_type::block:
    case fs::file_type::socket:
        return SourceKind::Stream;
    default:
        return SourceKind::File;
    }
}

std::vector<Source> ListSources(const Request& request) {
    std::vector<Source> sources;
    for (const std::string& name : request.files) {
        Source source;
        source.file = name;
        source.kind = ClassifySource(name);
        // A folder that is something to convert as a whole, not a tree of files, is to be told apart
        // here, before the walk.
        if (source.kind == SourceKind::Folder) {
            if (request.recursive) {
                Walk(request, name, sources);
                continue;
            }
            source.refusal = request.command == Command::Scan
                                 ? "is a folder (add -r to scan the files in it)"
                                 : "is a folder (add -r to convert the files in it)";
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

} // namespace veltrane::cli
