#pragma once
// A manual-reset completion event over eventfd(2): the handle an SRB carries when its provider may
// complete it after SendASPI32Command has returned.

#include <cstdint>

namespace lorvane::transport {

class CompletionEvent {
public:
    CompletionEvent(); // an unsignalled event; Valid() is false when the descriptor could not be made
    ~CompletionEvent();
    CompletionEvent(const CompletionEvent&) = delete;
    CompletionEvent& operator=(const CompletionEvent&) = delete;

    bool Valid() const { return m_fd > 0; }
    int Descriptor() const { return m_fd; }
    std::uintptr_t Handle() const { return m_fd > 0 ? static_cast<std::uintptr_t>(m_fd) : 0; }
    void Set();
    void Reset();
    bool IsSet() const;

private:
    int m_fd = -1;
};

} // namespace lorvane::transport
