// The platform-independent half of the file layer: ownership of a handle.
#include "io/file_io.h"

#include <utility>

namespace veltrane::io {

namespace {
detail::NativeCloser g_closer = detail::CloseNative;
} // namespace

detail::NativeCloser detail::SetNativeCloser(NativeCloser closer) {
    return std::exchange(g_closer, closer);
}

File::~File() {
    if (m_open)
        g_closer(m_handle);
}

File::File(File&& other) noexcept : m_handle(other.m_handle), m_open(std::exchange(other.m_open, false)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_open)
            g_closer(m_handle);
        m_handle = other.m_handle;
        m_open = std::exchange(other.m_open, false);
    }
    return *this;
}

bool File::Close() {
    if (!m_open)
        return true;
    m_open = false;
    return g_closer(m_handle);
}

} // namespace veltrane::io
