// Conversions between the engine's UTF-8 and the UTF-16 of the Windows calls.
#include "windows_text.h"

#include <limits>
#include <windows.h>

namespace veltrane {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return {};
    const int size = static_cast<int>(utf8.size());
    const int wide = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(wide > 0 ? wide : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, result.data(), wide);
    return result;
}

std::string Narrow(std::wstring_view utf16) {
    if (utf16.empty() || utf16.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return {};
    const int size = static_cast<int>(utf16.size());
    const int narrow = ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(narrow > 0 ? narrow : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, result.data(), narrow, nullptr, nullptr);
    return result;
}

} // namespace veltrane
