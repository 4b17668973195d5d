// The engine's file layer on Windows, where sharing modes keep writers out of an open source, and an
// output is written beside its destination and moved into place when complete.
#include "io/file_io.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <cwchar>
#include <limits>
#include <random>
#include <string>
#include <windows.h>

namespace veltrane::io {

namespace {

// The engine takes paths as UTF-8; the wide calls then reach every name, whatever the ANSI code page.
// Nothing (so that the open fails) for bytes that are not UTF-8 and for the empty path.
std::optional<std::wstring> WidePath(const std::string& path) {
    if (path.empty() || path.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    const int size = static_cast<int>(path.size());
    const int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (wide <= 0)
        return std::nullopt;
    std::wstring result(static_cast<std::size_t>(wide), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, result.data(), wide) != wide)
        return std::nullopt;
    return result;
}

// UTF-16 back to the engine's UTF-8; nothing for text that is not well-formed UTF-16.
std::optional<std::string> NarrowPath(const std::wstring& path) {
    if (path.empty() || path.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    const int size = static_cast<int>(path.size());
    const int narrow =
        ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(), size, nullptr, 0, nullptr, nullptr);
    if (narrow <= 0)
        return std::nullopt;
    std::string result(static_cast<std::size_t>(narrow), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path.data(), size, result.data(), narrow,
                              nullptr, nullptr) != narrow)
        return std::nullopt;
    return result;
}

// A handle of the layer's own short-lived opens, closed at scope exit.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : m_handle(handle) {}
    ~ScopedHandle() {
        if (*this)
            ::CloseHandle(m_handle);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    explicit operator bool() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The folder part of a path, as the folder to create a file beside it in: "." for a bare name, "C:" for
// a name relative to a drive's current folder.
std::wstring FolderOf(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/:");
    if (separator == std::wstring::npos)
        return L".";
    const bool root = separator == 0 || path[separator] == L':' || (separator == 2 && path[1] == L':');
    return path.substr(0, root ? separator + 1 : separator);
}

// Where a destination that is a symbolic link or junction leads: the file to replace, the link staying.
std::optional<std::wstring> FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD size = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                       VOLUME_NAME_DOS);
        if (size == 0)
            return std::nullopt;
        if (size < path.size()) {
            path.resize(size);
            return path;
        }
        path.resize(size);
    }
    return std::nullopt;
}

// Creates a file no other name has, in `folder`, for the output to grow in until it is complete.
HANDLE CreateBeside(const std::wstring& folder, std::wstring& name) {
    // Unpredictable enough to rarely collide, and unlike std::random_device it cannot throw.
    std::minstd_rand random(
        static_cast<std::minstd_rand::result_type>(::GetTickCount64() ^ ::GetCurrentProcessId()));
    const bool joined = folder.back() == L'\\' || folder.back() == L'/' || folder.back() == L':';
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t leaf[40];
        std::swprintf(leaf, 40, L"%ls.veltrane-%08x.part", joined ? L"" : L"\\",
                      static_cast<unsigned>(random()));
        name = folder + leaf;
        const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    name.clear();
    return INVALID_HANDLE_VALUE;
}

struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The identity of whatever has the name now; nothing when the name is free or cannot be looked at.
std::optional<FileIdentity> IdentityAt(const std::wstring& path) {
    const ScopedHandle there(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return there ? IdentityOf(there.Get()) : std::nullopt;
}

DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != NO_ERROR ? error : fallback;
}

} // namespace

namespace detail {

bool CloseNative(NativeHandle handle) {
    return ::CloseHandle(handle) != 0;
}

} // namespace detail

std::string SystemErrorText(int code) {
    wchar_t* text = nullptr;
    const DWORD size = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? text : L"", size);
    ::LocalFree(text);
    // The system's sentences end in a period and a line break; the message adds its own punctuation.
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' ||
                             wide.back() == L'.' || wide.back() == L'\u3002'))
        wide.pop_back();
    return NarrowPath(wide).value_or("error " + std::to_string(code));
}

bool File::Failed() const {
    m_failure = FailureReason{static_cast<int>(LastErrorOr(ERROR_GEN_FAILURE)), Refusal::None, false};
    return false;
}

std::optional<std::int64_t> File::Size() const {
    DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const DWORD low = ::GetFileSize(m_handle, &high);
    // 0xFFFFFFFF is also a valid low word; only the error code tells a failure apart.
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        Failed();
        return std::nullopt;
    }
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

bool File::Reaches(std::int64_t offset) const {
    const std::optional<std::int64_t> size = Size();
    return size && (*size > offset || Failed(Refusal::CutShort));
}

std::int64_t File::ReadSome(std::uint8_t* data, std::size_t size) {
    DWORD got = 0;
    if (!::ReadFile(m_handle, data, static_cast<DWORD>(size), &got, nullptr)) {
        // A pipe tells its end as an error once the writer has closed it.
        if (::GetLastError() == ERROR_BROKEN_PIPE)
            return 0;
        Failed();
        return -1;
    }
    return got;
}

bool File::Rewind() {
    LARGE_INTEGER start{};
    if (::SetFilePointerEx(m_handle, start, nullptr, FILE_BEGIN))
        return true;
    Failed();
    return false;
}

bool File::WriteAll(const std::uint8_t* data, std::size_t size) {
    do {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        if (!::WriteFile(m_handle, data, want, &written, nullptr) || (want > 0 && written == 0))
            return Failed();
        data += written;
        size -= written;
    } while (size > 0);
    return true;
}

bool File::ReadAllAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const {
    // A read at an offset moves a synchronous handle's position: put it back for ReadSome.
    LARGE_INTEGER here{};
    if (!::SetFilePointerEx(m_handle, LARGE_INTEGER{}, &here, FILE_CURRENT))
        return false;
    bool ok = true;
    while (ok && size > 0) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        DWORD got = 0;
        ok = (::ReadFile(m_handle, data, want, &got, &at) && got > 0) || Failed();
        data += got;
        size -= got;
        offset += got;
    }
    return ::SetFilePointerEx(m_handle, here, nullptr, FILE_BEGIN) && ok;
}

bool File::WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    // As for ReadAllAt: the in-place fix reads on through the same handle.
    LARGE_INTEGER here{};
    if (!::SetFilePointerEx(m_handle, LARGE_INTEGER{}, &here, FILE_CURRENT))
        return false;
    do {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        DWORD written = 0;
        if (!::WriteFile(m_handle, data, want, &written, &at) || (want > 0 && written == 0)) {
            Failed();
            break;
        }
        data += written;
        size -= written;
        offset += written;
    } while (size > 0);
    return ::SetFilePointerEx(m_handle, here, nullptr, FILE_BEGIN) && size == 0;
}

// Two files on disk may, as on Linux; the one try that asks (ShareBlocksFrom) then finds out that this
// layer clones nothing, and the run writes every block. (Block cloning exists on Windows only on ReFS.)
bool File::MayShareBlocksWith(const File& source) const {
    return ::GetFileType(m_handle) == FILE_TYPE_DISK && ::GetFileType(source.m_handle) == FILE_TYPE_DISK;
}

std::int64_t File::ShareBlocksFrom(const File& /*source*/, std::int64_t /*offset*/, std::int64_t /*length*/) {
    return 0;
}

void File::KeepRewritesTight() {}

bool File::Truncate(std::int64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return ::SetFileInformationByHandle(m_handle, FileEndOfFileInfo, &end, sizeof end) || Failed();
}

// Windows has no call that puts part of a file on the disk; the commit's FlushFileBuffers does it all.
bool File::CanWriteBack() const {
    return false;
}

bool File::WriteBack(std::int64_t /*offset*/, std::int64_t /*length*/, int& error) const {
    error = 0;
    return true;
}

void File::StartWriteBack(std::int64_t /*offset*/, std::int64_t /*length*/) const {}

bool File::IsRegularFile() const {
    return ::GetFileType(m_handle) == FILE_TYPE_DISK;
}

bool File::IsSameFileAs(const File& other) const {
    if (!IsRegularFile() || !other.IsRegularFile())
        return false;
    const std::optional<FileIdentity> self = IdentityOf(m_handle);
    return self && self == IdentityOf(other.m_handle);
}

// Ctrl+C comes on a thread of its own here and the read goes on; a stream's run stops at its next read.
bool File::WaitUntilReadable() const {
    return true;
}

File OpenForStreamRead(const std::string& path) {
    File file;
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide) {
        file.m_failure = FailureReason{ERROR_INVALID_NAME, Refusal::None, false};
        return file;
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder is not opened at all.
    const HANDLE handle = ::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.Failed();
        return file;
    }
    file.m_handle = handle;
    file.m_open = true;
    return file;
}

// ReadFile and WriteFile move bytes as they are: the C runtime's text mode never comes between.
File File::Duplicate(int standard) {
    File file;
    const HANDLE handle = ::GetStdHandle(static_cast<DWORD>(standard));
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        file.Failed();
        return file;
    }
    file.m_handle = copy;
    file.m_open = true;
    return file;
}

File OpenStandardInput() {
    return File::Duplicate(static_cast<int>(STD_INPUT_HANDLE));
}

File OpenStandardOutput() {
    return File::Duplicate(static_cast<int>(STD_OUTPUT_HANDLE));
}

// Other readers are let in; no other writer, and for the in-place fix no one else writing either.
File File::OpenExisting(const std::string& path, bool update) {
    File file;
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide) {
        file.m_failure = FailureReason{ERROR_INVALID_NAME, Refusal::None, false};
        return file;
    }
    const HANDLE handle =
        ::CreateFileW(wide->c_str(), update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.Failed();
        return file;
    }
    file.m_handle = handle;
    file.m_open = true;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        file.Close();
        file.m_failure = FailureReason{0, Refusal::NotARegularFile, false};
    }
    return file;
}

File OpenForUpdate(const std::string& path) {
    return File::OpenExisting(path, true);
}

File OpenForSequentialRead(const std::string& path) {
    return File::OpenExisting(path, false);
}

bool OutputFile::Fail(int systemError, bool inFolder) {
    m_failure = FailureReason{systemError != 0 ? systemError : ERROR_GEN_FAILURE, Refusal::None, inFolder};
    return false;
}

bool OutputFile::Fail(Refusal refusal) {
    m_failure = FailureReason{0, refusal, false};
    return false;
}

OutputFile::OutputFile(const std::string& path, const File& source, ExistingFile existingFile) {
    const std::optional<std::wstring> wide = WidePath(path);
    // A name that ends in a separator can only be meant as a folder.
    if (!wide || wide->back() == L'\\' || wide->back() == L'/') {
        if (wide)
            Fail(Refusal::DestinationIsAFolder);
        else
            Fail(ERROR_INVALID_NAME);
        return;
    }
    // A pipe has no identity to compare, and cannot be the destination either.
    const std::optional<FileIdentity> sourceIdentity = IdentityOf(source.m_handle);
    if (!sourceIdentity && source.IsRegularFile()) {
        Fail(LastErrorOr(ERROR_GEN_FAILURE));
        return;
    }

    // Whatever has the name is looked at first, with no access asked and every sharing mode granted, so
    // that neither the source's sharing nor anyone else's gets in the way: the source under another name
    // (letter case, short name, link) is refused by its identity, as the file is no longer created under
    // the destination's name where the sharing modes would have refused it.
    std::wstring target = *wide;
    const ScopedHandle existing(::CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!existing && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        // A missing folder, a name Windows rejects, no access.
        const DWORD error = ::GetLastError();
        Fail(error, error == ERROR_PATH_NOT_FOUND);
        return;
    }
    if (existing) {
        // A device (NUL, a serial port) has nothing to keep: it is written directly.
        if (::GetFileType(existing.Get()) != FILE_TYPE_DISK) {
            if (existingFile == ExistingFile::Keep) {
                Fail(Refusal::DestinationExists);
                return;
            }
            const HANDLE device =
                ::CreateFileW(wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
            if (device != INVALID_HANDLE_VALUE) {
                m_file.m_handle = device;
                m_file.m_open = true;
            } else {
                Fail(::GetLastError());
            }
            return;
        }
        const std::optional<FileIdentity> identity = IdentityOf(existing.Get());
        FILE_BASIC_INFO basic{};
        if (!identity ||
            !::GetFileInformationByHandleEx(existing.Get(), FileBasicInfo, &basic, sizeof basic)) {
            Fail(::GetLastError());
            return;
        }
        if (sourceIdentity && *identity == *sourceIdentity) {
            Fail(Refusal::DestinationIsSource);
            return;
        }
        if (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
            // Windows would say only "access denied" of a folder.
            if (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                Fail(Refusal::DestinationIsAFolder);
            else
                Fail(ERROR_ACCESS_DENIED);
            return;
        }
        if (existingFile == ExistingFile::Keep) {
            Fail(Refusal::DestinationExists);
            return;
        }
        m_replaces = true;
        m_replaced = {identity->volume,
                      (static_cast<unsigned long long>(identity->indexHigh) << 32) | identity->indexLow};
        // The move at the end replaces the file, which takes the right to delete it: refused now, not
        // after the whole copy, when the file is read-only (above: an administrator could still open it
        // for writing), not ours to delete, or held open by a program that does not let it be deleted.
        const ScopedHandle replaceable(
            ::CreateFileW(wide->c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!replaceable) {
            Fail(::GetLastError());
            return;
        }
        const DWORD attributes = ::GetFileAttributesW(wide->c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            const std::optional<std::wstring> final = FinalPath(existing.Get());
            if (!final) {
                Fail(::GetLastError());
                return;
            }
            target = *final;
        }
    }

    // The new file goes in the same folder, so that the final move never crosses volumes.
    std::wstring hidden;
    const HANDLE handle = CreateBeside(FolderOf(target), hidden);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail(::GetLastError(), true);
        return;
    }
    m_file.m_handle = handle;
    m_file.m_open = true;
    const std::optional<std::string> targetName = NarrowPath(target);
    const std::optional<std::string> hiddenName = NarrowPath(hidden);
    m_hidden = hiddenName.value_or(std::string{});
    m_target = targetName.value_or(std::string{});
    if (!targetName || !hiddenName) {
        Fail(ERROR_INVALID_NAME);
        m_file.Close();
        ::DeleteFileW(hidden.c_str());
        m_hidden.clear();
        m_target.clear();
    }
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() {
    m_file.Close();
    if (const std::optional<std::wstring> hidden = WidePath(m_hidden))
        ::DeleteFileW(hidden->c_str());
    m_hidden.clear();
    m_target.clear();
}

// Moves the complete file into the destination's place: over the file that was looked at, or where the
// name is free. A file put there or swapped in meanwhile is left alone. The move is written through, so
// that the new name is on the disk when it returns.
bool OutputFile::Place() {
    const std::optional<std::wstring> hidden = WidePath(m_hidden);
    const std::optional<std::wstring> target = WidePath(m_target);
    if (!hidden || !target)
        return Fail(ERROR_INVALID_NAME);
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (m_replaces) {
        if (const std::optional<FileIdentity> there = IdentityAt(*target)) {
            const Identity now{there->volume,
                               (static_cast<unsigned long long>(there->indexHigh) << 32) | there->indexLow};
            if (now != m_replaced)
                return Fail(Refusal::DestinationChanged);
            flags |= MOVEFILE_REPLACE_EXISTING;
        }
    }
    if (!::MoveFileExW(hidden->c_str(), target->c_str(), flags)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            return Fail(Refusal::DestinationChanged);
        return Fail(error);
    }
    m_hidden.clear();
    return true;
}

bool OutputFile::Commit() {
    if (!m_file.IsOpen())
        return false;
    if (m_target.empty())
        return m_file.Close() || Fail(m_file.Failure().systemError);
    // A power loss after the move must find the new data under the name, not clusters never written.
    if (!::FlushFileBuffers(m_file.m_handle)) {
        Fail(::GetLastError());
        Discard();
        return false;
    }
    // Only a successful close proves the data reached the file.
    if (!m_file.Close()) {
        Fail(m_file.Failure().systemError);
        Discard();
        return false;
    }
    if (!Place()) {
        Discard();
        return false;
    }
    m_target.clear();
    return true;
}

} // namespace veltrane::io

// Folders put in place whole. Windows has no exchange of two names: MoveFileExW with
// MOVEFILE_WRITE_THROUGH, which returns only once the move is on the disk, is the closest it offers
// (ReplaceFileW takes files only). NTFS journals a folder's entries itself, so there is no folder to
// sync; a crash between the moves of ExchangeFolders leaves both folders whole, one of them under the
// hidden name.
namespace veltrane::io {

namespace {

bool FolderFailed(FailureReason& failure, DWORD error) {
    failure = FailureReason{};
    failure.systemError = static_cast<int>(error);
    failure.inFolder = true;
    return false;
}

bool MoveThrough(const std::string& from, const std::string& to, FailureReason& failure) {
    const std::optional<std::wstring> wideFrom = WidePath(from);
    const std::optional<std::wstring> wideTo = WidePath(to);
    if (!wideFrom || !wideTo)
        return FolderFailed(failure, ERROR_INVALID_NAME);
    return ::MoveFileExW(wideFrom->c_str(), wideTo->c_str(), MOVEFILE_WRITE_THROUGH) ||
           FolderFailed(failure, ::GetLastError());
}

} // namespace

bool SyncFolder(const std::string& /*path*/, FailureReason& /*failure*/) {
    return true;
}

bool MoveFolder(const std::string& from, const std::string& to, FailureReason& failure) {
    return MoveThrough(from, to, failure);
}

bool ExchangeFolders(const std::string& fresh, const std::string& target, FailureReason& failure) {
    const std::string aside = fresh + ".old";
    if (!MoveThrough(target, aside, failure))
        return false;
    if (!MoveThrough(fresh, target, failure)) {
        FailureReason ignored;
        MoveThrough(aside, target, ignored);
        return false;
    }
    return MoveThrough(aside, fresh, failure);
}

} // namespace veltrane::io
