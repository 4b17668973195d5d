// The platform-independent half of the file layer: ownership of a handle.
#include "file_io.h"

#include <utility>

namespace veltrane::io {

File::~File() {
    if (m_open)
        detail::CloseNative(m_handle);
}

File::File(File&& other) noexcept : m_handle(other.m_handle), m_open(std::exchange(other.m_open, false)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_open)
            detail::CloseNative(m_handle);
        m_handle = other.m_handle;
        m_open = std::exchange(other.m_open, false);
    }
    return *this;
}

bool File::Close() {
    if (!m_open)
        return true;
    m_open = false;
    return detail::CloseNative(m_handle);
}

} // namespace veltrane::io
