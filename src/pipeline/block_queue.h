#pragma once
// The bounded queue of cache blocks between a producer that reads ahead (TCacheThread,
// TISOBurnerThread) and the one writer thread that consumes it, with the hand-over protocol both
// producers share: GetBlock answers a length, -1 (nothing yet) or 0 (the end: done, cancelled or
// failed); Primed says the queue was full once or holds everything; a cancelled producer empties the
// queue and every later GetBlock answers 0.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lorvane::pipeline {

inline constexpr std::int32_t kCacheBlockBytes = 63488; // 31 sectors: one WRITE (10) each
inline constexpr std::int32_t kQueueSectorSize = 2048;
inline constexpr std::int64_t kMinimumSessionBytes = 614400; // 300 sectors
inline constexpr const char* kAbortedText = "OPERATION ABORTED BY USER";

struct CacheBlock {
    std::array<std::uint8_t, kCacheBlockBytes> data;
    std::int32_t length = 0; // valid bytes at the start of data
};

// Thread priority levels of a producer, and the nice values that stand for them.
enum class PriorityLevel : std::uint8_t { Idle = 0, Lowest = 1, BelowNormal = 2, Normal = 3 };
// Sets the calling thread's nice value for the level. Only when the process may raise its priority
// again (root, or RLIMIT_NICE allows nice 0): otherwise a thread once lowered could never catch up, so
// the priority is left as it is.
void ApplyPriority(PriorityLevel level);
// Asks for a raised priority for the calling thread (the writer); goes on silently when refused.
void RaiseToTimeCritical();

class BlockQueue {
public:
    explicit BlockQueue(int cacheSize);
    virtual ~BlockQueue();
    BlockQueue(const BlockQueue&) = delete;
    BlockQueue& operator=(const BlockQueue&) = delete;

    // Consumer side. Copies the oldest block into dest (room for kCacheBlockBytes) and answers its
    // length; -1 when nothing has arrived yet; 0 when no more data will come.
    std::int32_t GetBlock(std::uint8_t* dest);
    // The same answers, handing over the block itself instead of a copy; the block the caller held
    // before goes back to the producer for reuse.
    std::int32_t TakeBlock(std::unique_ptr<CacheBlock>& block);
    // Waits until GetBlock has something new to say (a block, the end, an error text) or abort is set.
    void WaitForBlock(const std::atomic<bool>& abort);
    // Wakes a consumer waiting in WaitForBlock so that it looks at its abort flag.
    void Wake();
    // Waits until Primed, or until the producer failed; true when primed without an error text.
    bool WaitUntilPrimed();

    // Asks the producer to stop; it empties the queue and ends.
    void Cancel();
    void Lock() { m_queueLock.lock(); }
    void Unlock() { m_queueLock.unlock(); }
    std::string ErrorText() const;
    // The consumer's own reason to end the run; replaces any text.
    void SetErrorText(const std::string& text);

    bool Primed() const { return m_primed; }
    bool EndOfData() const { return m_endOfData; }
    bool Cancelled() const { return m_cancelled; }
    std::int64_t CachedBytes() const { return m_cachedBytes; }
    std::int64_t RemainingBytes() const { return m_remainingBytes; }
    int MaxBlocks() const { return m_maxBlocks; }
    int CacheSize() const { return m_cacheSize; }
    std::size_t QueueLength() const;
    PriorityLevel Priority() const { return m_priority; }

protected:
    // Producer side. Starts the body on its own thread; the derived destructor calls Stop().
    void Start();
    // Ends a running body (cancelling it) and joins the thread.
    void Stop();
    virtual void Body() = 0;

    // A block to fill: one the consumer gave back, or a new one.
    std::unique_ptr<CacheBlock> NewBlock();
    // Appends a block; false when the run was cancelled meanwhile (then the producer must end).
    bool Queue(std::unique_ptr<CacheBlock> block);
    // While the queue holds MaxBlocks - 1 blocks or more: Primed, and wait (at idle priority when
    // dropToIdle). False when cancelled.
    bool WaitForRoom(bool dropToIdle);
    // A producer failure: the text, then the end of data.
    void Fail(const std::string& text);
    // The cancel sequence: every queued block released, the abort text unless a text is set, end of
    // data, and GetBlock answers 0 from now on.
    void FinishCancelled();
    // All data is queued: Primed, then wait until the consumer took everything (end of data) or the run
    // is cancelled. False when cancelled.
    bool Drain();
    void SetPriority(PriorityLevel level);
    void AddRemaining(std::int64_t bytes) { m_remainingBytes += bytes; }
    void SetRemaining(std::int64_t bytes) { m_remainingBytes = bytes; }
    void Reset();

private:
    const int m_cacheSize;
    const int m_maxBlocks;
    mutable std::mutex m_queueLock; // guards m_blocks and m_errorText; m_changed waits on it
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<CacheBlock>> m_blocks;
    std::vector<std::unique_ptr<CacheBlock>> m_spare; // taken blocks given back, for the producer to refill
    std::string m_errorText;
    std::atomic<bool> m_primed{false};             // set by the producer, polled by the starter
    std::atomic<bool> m_endOfData{false};          // set by the producer, read by the consumer
    std::atomic<bool> m_cancelled{false};          // set by the consumer or the owner, read by the producer
    std::atomic<bool> m_halted{false};             // set by a cancelled producer: the queue is closed
    std::atomic<std::int64_t> m_cachedBytes{0};    // written under the lock, read by the progress display
    std::atomic<std::int64_t> m_remainingBytes{0}; // written under the lock, read by both sides
    std::atomic<PriorityLevel> m_priority{PriorityLevel::BelowNormal}; // written by the producer
    std::thread m_thread;
};

} // namespace lorvane::pipeline
