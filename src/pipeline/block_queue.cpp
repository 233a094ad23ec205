#include "pipeline/block_queue.h"

#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstring>
#include <unistd.h>

namespace lorvane::pipeline {

namespace {

int NiceOf(PriorityLevel level) {
    switch (level) {
    case PriorityLevel::Idle: return 19;
    case PriorityLevel::Lowest: return 10;
    case PriorityLevel::BelowNormal: return 5;
    case PriorityLevel::Normal: return 0;
    }
    return 0;
}

// Whether a thread's nice value may go back down to 0 after it was raised.
bool CanRaisePriority() {
    if (::geteuid() == 0) return true;
    rlimit limit{};
    return ::getrlimit(RLIMIT_NICE, &limit) == 0 && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 20);
}

id_t ThreadId() {
    return static_cast<id_t>(::syscall(SYS_gettid));
}

constexpr int kTimeCriticalNice = -10;

} // namespace

void ApplyPriority(PriorityLevel level) {
    static const bool canRaise = CanRaisePriority();
    if (canRaise) (void)::setpriority(PRIO_PROCESS, ThreadId(), NiceOf(level));
}

void RaiseToTimeCritical() {
    (void)::setpriority(PRIO_PROCESS, ThreadId(), kTimeCriticalNice);
}

BlockQueue::BlockQueue(int cacheSize) : m_cacheSize(cacheSize), m_maxBlocks(cacheSize / 65536) {}

BlockQueue::~BlockQueue() {
    // The derived class has stopped the body; this only covers a body that was never started.
    if (m_thread.joinable()) m_thread.join();
}

void BlockQueue::Start() {
    m_thread = std::thread([this] {
        try {
            ApplyPriority(PriorityLevel::BelowNormal);
            Body();
        } catch (const std::exception& error) {
            Fail(std::string("INTERNAL ERROR 0005 (") + error.what() + ")");
        } catch (...) {
            Fail("INTERNAL ERROR 0005");
        }
    });
}

void BlockQueue::Stop() {
    Cancel();
    if (m_thread.joinable()) m_thread.join();
}

void BlockQueue::Reset() {
    std::scoped_lock lock(m_queueLock);
    m_cachedBytes = 0;
    m_cancelled = false;
    m_endOfData = false;
    m_errorText.clear();
}

std::int32_t BlockQueue::GetBlock(std::uint8_t* dest) {
    if (m_remainingBytes == 0 && m_endOfData) return 0;
    std::unique_ptr<CacheBlock> block;
    {
        std::scoped_lock lock(m_queueLock);
        if (m_blocks.empty()) return m_endOfData ? 0 : -1;
        if (m_halted) return 0;
        block = std::move(m_blocks.front());
        m_blocks.pop_front();
        m_cachedBytes -= block->length;
        m_remainingBytes -= block->length;
    }
    m_changed.notify_all();
    std::memcpy(dest, block->data.data(), static_cast<std::size_t>(block->length));
    return block->length;
}

std::int32_t BlockQueue::TakeBlock(std::unique_ptr<CacheBlock>& block) {
    {
        std::scoped_lock lock(m_queueLock);
        if (block && m_spare.size() < static_cast<std::size_t>(std::max(m_maxBlocks, 1)))
            m_spare.push_back(std::move(block));
        block.reset();
        if (m_remainingBytes == 0 && m_endOfData) return 0;
        if (m_blocks.empty()) return m_endOfData ? 0 : -1;
        if (m_halted) return 0;
        block = std::move(m_blocks.front());
        m_blocks.pop_front();
        m_cachedBytes -= block->length;
        m_remainingBytes -= block->length;
    }
    m_changed.notify_all();
    return block->length;
}

std::unique_ptr<CacheBlock> BlockQueue::NewBlock() {
    {
        std::scoped_lock lock(m_queueLock);
        if (!m_spare.empty()) {
            auto block = std::move(m_spare.back());
            m_spare.pop_back();
            block->length = 0;
            return block;
        }
    }
    return std::make_unique<CacheBlock>();
}

void BlockQueue::WaitForBlock(const std::atomic<bool>& abort) {
    std::unique_lock lock(m_queueLock);
    m_changed.wait(
        lock, [&] { return abort || m_halted || m_endOfData || !m_blocks.empty() || !m_errorText.empty(); });
}

void BlockQueue::Wake() {
    { std::scoped_lock lock(m_queueLock); }
    m_changed.notify_all();
}

bool BlockQueue::WaitUntilPrimed() {
    std::unique_lock lock(m_queueLock);
    m_changed.wait(lock, [&] { return m_primed || !m_errorText.empty() || m_endOfData; });
    return m_errorText.empty();
}

void BlockQueue::Cancel() {
    {
        std::scoped_lock lock(m_queueLock);
        m_cancelled = true;
    }
    m_changed.notify_all();
}

std::string BlockQueue::ErrorText() const {
    std::scoped_lock lock(m_queueLock);
    return m_errorText;
}

void BlockQueue::SetErrorText(const std::string& text) {
    {
        std::scoped_lock lock(m_queueLock);
        m_errorText = text;
    }
    m_changed.notify_all();
}

std::size_t BlockQueue::QueueLength() const {
    std::scoped_lock lock(m_queueLock);
    return m_blocks.size();
}

bool BlockQueue::Queue(std::unique_ptr<CacheBlock> block) {
    {
        std::scoped_lock lock(m_queueLock);
        if (m_cancelled) return false;
        m_cachedBytes += block->length;
        m_blocks.push_back(std::move(block));
    }
    m_changed.notify_all();
    return true;
}

bool BlockQueue::WaitForRoom(bool dropToIdle) {
    std::unique_lock lock(m_queueLock);
    const auto full = [&] {
        return m_blocks.size() >= static_cast<std::size_t>(std::max(m_maxBlocks - 1, 1));
    };
    if (!full()) return !m_cancelled;
    m_primed = true;
    lock.unlock();
    m_changed.notify_all();
    if (dropToIdle) SetPriority(PriorityLevel::Idle);
    lock.lock();
    m_changed.wait(lock, [&] { return m_cancelled || !full(); });
    return !m_cancelled;
}

void BlockQueue::Fail(const std::string& text) {
    {
        std::scoped_lock lock(m_queueLock);
        m_errorText = text;
        m_endOfData = true;
    }
    m_changed.notify_all();
}

void BlockQueue::FinishCancelled() {
    std::deque<std::unique_ptr<CacheBlock>> released;
    {
        std::scoped_lock lock(m_queueLock);
        m_halted = true;
        released.swap(m_blocks);
        m_cachedBytes = 0;
        if (m_errorText.empty()) m_errorText = kAbortedText;
        m_endOfData = true;
    }
    m_changed.notify_all();
}

bool BlockQueue::Drain() {
    {
        std::unique_lock lock(m_queueLock);
        m_primed = true;
        lock.unlock();
        m_changed.notify_all();
        lock.lock();
        m_changed.wait(lock, [&] { return m_cancelled || m_remainingBytes <= 0; });
        // Cancelled with data still queued: the queue closes; the blocks go with the producer.
        if (m_cancelled) m_halted = true;
        m_endOfData = true;
    }
    m_changed.notify_all();
    return !m_cancelled;
}

void BlockQueue::SetPriority(PriorityLevel level) {
    if (m_priority == level) return;
    m_priority = level;
    ApplyPriority(level);
}

} // namespace lorvane::pipeline
