// Writing a disc's files: an IFO with new attributes, any other file exactly as it is.
#pragma once

#include "disc/ifo_attributes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::disc {

// `bytes` (the IFO at `source` as Retargeted made it) written to `dest` beside and put in place whole.
bool WriteIfoCopy(const std::string& source, const std::string& dest, const std::vector<std::uint8_t>& bytes);
// The bytes of `image`'s file at `path` that differ from `bytes` written where they lie, and only those.
bool WriteIfoInPlace(const std::string& path, const IfoImage& image, const std::vector<std::uint8_t>& bytes);
// `dest` made a copy of `source`, sharing its blocks where the file system can.
bool CopyExactly(const std::string& source, const std::string& dest);

} // namespace veltrane::disc
