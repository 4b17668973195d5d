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
        ok = ::ReadFile(m_handle, data, want, &got, &at) && got > 0;
        data += got;
        size -= got;
        offset += got;
    }
    return ::SetFilePointerEx(m_handle, here, nullptr, FILE_BEGIN) && ok;
}

bool File::WriteAllAt(const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    do {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
        DWORD written = 0;
        if (!::WriteFile(m_handle, data, want, &written, &at) || (want > 0 && written == 0))
            return false;
        data += written;
        size -= written;
        offset += written;
    } while (size > 0);
    return true;
}

// Block cloning on Windows (ReFS only) is not used: every copy is written.
bool File::MayShareBlocksWith(const File& /*source*/) const {
    return false;
}

std::int64_t File::ShareBlocksFrom(const File& /*source*/, std::int64_t /*offset*/, std::int64_t /*length*/) {
    return 0;
}

// The in-place fix also reads the file through a second handle, which must be let in.
File OpenForUpdate(const std::string& path) {
    File file;
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return file;
    file.m_handle = handle;
    file.m_open = true;
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return File{};
    return file;
}

File OpenForSequentialRead(const std::string& path) {
    File file;
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return file;
    file.m_handle = handle;
    file.m_open = true;
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return File{};
    return file;
}

// Written in place for now: the destination is emptied at the start, and Commit only closes it.
OutputFile::OutputFile(const std::string& path, const File& /*source*/) {
    // The source is open with read-only sharing, so an exclusive create of the same file under any
    // name fails here before anything is truncated.
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    m_file.m_handle = handle;
    m_file.m_open = true;
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Discard() {
    m_file.Close();
}

bool OutputFile::Commit() {
    return m_file.IsOpen() && m_file.Close();
}

} // namespace veltrane::io
