// The working buffer's allocation, in one place so that every caller fails the same way.
#include "io/chunk_buffer.h"

#include <new>
#include <utility>

namespace veltrane {

namespace {

ChunkBuffer FromHeap(std::size_t size) {
    return ChunkBuffer(new (std::nothrow) std::uint8_t[size]);
}

ChunkAllocator g_allocator = FromHeap;

} // namespace

ChunkBuffer AllocateChunk(std::size_t size) {
    return g_allocator(size);
}

ChunkAllocator SetChunkAllocator(ChunkAllocator allocator) {
    return std::exchange(g_allocator, allocator);
}

} // namespace veltrane
