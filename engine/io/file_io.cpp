// The platform-independent half of the file layer: ownership of a handle.
#include "io/file_io.h"

#include <cerrno>
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

File::File(File&& other) noexcept
    : m_handle(other.m_handle), m_open(std::exchange(other.m_open, false)), m_failure(other.m_failure) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (m_open)
            g_closer(m_handle);
        m_handle = other.m_handle;
        m_open = std::exchange(other.m_open, false);
        m_failure = other.m_failure;
    }
    return *this;
}

bool File::Close() {
    if (!m_open)
        return true;
    m_open = false;
    // A close that fails without saying why (a test's, say) must not take an older call's error.
    errno = 0;
    return g_closer(m_handle) || Failed();
}

bool File::Failed(Refusal refusal) const {
    m_failure = FailureReason{0, refusal, false};
    return false;
}

} // namespace veltrane::io
