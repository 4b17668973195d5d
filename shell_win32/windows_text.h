// Conversions between the engine's UTF-8 and the UTF-16 of the Windows calls.
#pragma once

#include <string>
#include <string_view>

namespace veltrane {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

} // namespace veltrane
