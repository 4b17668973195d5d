// The walk through a transport stream: 188-byte packets, or 192 with a timestamp before each.
#pragma once

#include "container/container_format.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace veltrane {

// Sync bytes in a row at the packet stride that make a transport stream.
inline constexpr int TS_DETECT_PACKETS = 5;
inline constexpr std::uint8_t TS_SYNC = 0x47;

// A walk of packets `stride` bytes long (188, or 192 with the timestamp prefix).
std::unique_ptr<ContainerFormat> MakeTransportStreamFormat(std::uint32_t stride);
std::unique_ptr<ContainerFormat> RecogniseTransportStream(const std::uint8_t* data, std::uint32_t size);

} // namespace veltrane
