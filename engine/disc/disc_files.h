// Writing a disc's files: an IFO with new attributes, any other file exactly as it is.
#pragma once

#include "disc/ifo_attributes.h"
#include "io/failure_reason.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veltrane::disc {

// Each returns false on a failure, with the system's reason in `failure` (none when memory ran out).

// `bytes` (the IFO at `source` as Retargeted made it) written to `dest` beside and put in place whole.
bool WriteIfoCopy(const std::string& source, const std::string& dest, const std::vector<std::uint8_t>& bytes,
                  io::FailureReason& failure);
// The bytes of `image`'s file at `path` that differ from `bytes` written where they lie, and only those.
bool WriteIfoInPlace(const std::string& path, const IfoImage& image, const std::vector<std::uint8_t>& bytes,
                     io::FailureReason& failure);
// `dest` made a copy of `source`, sharing its blocks where the file system can.
bool CopyExactly(const std::string& source, const std::string& dest, io::FailureReason& failure);

} // namespace veltrane::disc
