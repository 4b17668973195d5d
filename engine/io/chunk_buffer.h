// The one working buffer of a run or a probe, from an allocator that tests can make fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace veltrane {

// The one working buffer of a run, a scan and the probe.
inline constexpr std::uint32_t CHUNK_SIZE = 655360;

using ChunkBuffer = std::unique_ptr<std::uint8_t[]>;
using ChunkAllocator = ChunkBuffer (*)(std::size_t size);

// `size` bytes (CHUNK_SIZE unless a run reads ahead into more), or null when memory is short.
ChunkBuffer AllocateChunk(std::size_t size = CHUNK_SIZE);

// Puts `allocator` in the place of the heap and returns the one it replaces. Only tests do this, to
// stage a shortage of memory that a real machine seldom shows on demand; not for use during a run.
ChunkAllocator SetChunkAllocator(ChunkAllocator allocator);

} // namespace veltrane
