// The engine's file layer on Windows, where sharing modes keep writers out of an open source.
#include "file_io.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <limits>
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

// Whether `path` names, through any link or spelling, the file open as `source`. Opening with no access
// rights and every sharing mode neither disturbs the source nor fails on it being open.
bool NamesTheSameFile(const std::wstring& path, HANDLE source) {
    const HANDLE handle = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const std::optional<FileIdentity> existing = IdentityOf(handle);
    ::CloseHandle(handle);
    const std::optional<FileIdentity> open = IdentityOf(source);
    // When either cannot tell, assume the worst: refusing a run is better than emptying the source.
    return !existing || !open || *existing == *open;
}

} // namespace

namespace detail {

bool CloseNative(NativeHandle handle) {
    return ::CloseHandle(handle) != 0;
}

} // namespace detail

std::optional<std::int64_t> File::Size() const {
    DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const DWORD low = ::GetFileSize(m_handle, &high);
    // 0xFFFFFFFF is also a valid low word; only the error code tells a failure apart.
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR)
        return std::nullopt;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

std::int64_t File::ReadSome(std::uint8_t* data, std::size_t size) {
    DWORD got = 0;
    if (!::ReadFile(m_handle, data, static_cast<DWORD>(size), &got, nullptr))
        return -1;
    return got;
}

bool File::WriteAll(const std::uint8_t* data, std::size_t size) {
    do {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        if (!::WriteFile(m_handle, data, want, &written, nullptr) || (want > 0 && written == 0))
            return false;
        data += written;
        size -= written;
    } while (size > 0);
    return true;
}

File OpenForSequentialRead(const std::string& path) {
    File file;
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide)
        return file;
    const HANDLE handle = ::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return file;
    file.m_handle = handle;
    file.m_open = true;
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return File{};
    return file;
}

File CreateForSequentialWrite(const std::string& path, const File& source) {
    File file;
    const std::optional<std::wstring> wide = WidePath(path);
    if (!wide)
        return file;
    // The source's read-only sharing already makes an exclusive create of the same file fail, but not
    // everywhere (wine replaces a symbolic link instead of following it): identity settles it first.
    if (NamesTheSameFile(*wide, source.m_handle))
        return file;
    const HANDLE handle = ::CreateFileW(wide->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return file;
    file.m_handle = handle;
    file.m_open = true;
    return file;
}

} // namespace veltrane::io
