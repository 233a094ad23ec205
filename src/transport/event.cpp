#include "transport/event.h"

#include "transport/srb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace lorvane::transport {

CompletionEvent::CompletionEvent() {
    m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd == 0) { // 0 means "no event" in an SRB: move the descriptor off it
        const int moved = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 3);
        ::close(m_fd);
        m_fd = moved;
    }
}

CompletionEvent::~CompletionEvent() {
    if (m_fd >= 0) ::close(m_fd);
}

void CompletionEvent::Set() {
    if (m_fd > 0) SignalCompletionEvent(Handle());
}

void CompletionEvent::Reset() {
    if (m_fd <= 0) return;
    eventfd_t value = 0;
    while (::eventfd_read(m_fd, &value) == 0) {}
}

bool CompletionEvent::IsSet() const {
    if (m_fd <= 0) return false;
    pollfd p{.fd = m_fd, .events = POLLIN, .revents = 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void SignalCompletionEvent(std::uintptr_t handle) {
    if (handle == 0) return;
    ::eventfd_write(static_cast<int>(handle), 1);
}

} // namespace lorvane::transport
