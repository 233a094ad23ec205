#pragma once
// The writer threads: TThWrite feeds a compilation to the recorder (disc mode) or into an image file
// (image-file mode); TISOWrite records an existing image file. Each is the one consumer of its
// producer's queue, runs at a raised priority, and ends with the hand-over that raises the write's
// completion exactly once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "drive/scsi_device.h"
#include "pipeline/block_queue.h"

namespace lorvane::pipeline {

// Process-wide state of the running write.
extern std::atomic<bool> Writing;        // set by a writer for its whole body, read by everybody
extern std::atomic<bool> AbortRequested; // set by AbortWrite, cleared and polled by the writer

inline constexpr std::uint8_t kWriteFlags = 0x50; // the request block's flags for a WRITE (10)
inline constexpr const char* kWriterBusyText = "WRITER BUSY/BUFFER FULL";
inline constexpr const char* kWriterErrorText = "WRITER ERROR";
inline constexpr const char* kNeedEmptyDiscText = "NEED EMPTY DISC FOR ISO BURNING";

// The 28-byte SET STREAMING performance descriptor sent before writing a DVD-R or DVD-RW (MMC-5 6.39):
// no flags, LBA 0 to 2,298,495, reading 43,965 kB and writing writeKBs kB per 1,000 ms. The write size
// is the speed the drive took from SET CD SPEED: a fixed 1x figure would hold every burn at the slowest
// speed the drive has.
std::array<std::uint8_t, 28> PerformanceDescriptor(std::uint32_t writeKBs);

// What a writer needs from the component that started it.
struct WriteRun {
    drive::TSCSIDevice* device = nullptr; // disc mode and image burns
    BlockQueue* producer = nullptr;       // owned by the component until the hand-over releases it
    std::string imageFileName;            // image-file mode
    std::int64_t totalSectors = 0;        // the run's size, with the 300-sector minimum
    std::function<bool()> prepareTrack;   // finds the next writable address
    std::function<std::uint32_t()> sessionStart;
    std::function<void()> finalizingTrack;             // before the flush and close
    std::function<void()> releaseProducer;             // destroys the producer
    std::function<void(const std::string&)> writeDone; // the completion, once
    std::atomic<std::int64_t>* writtenBytes = nullptr; // progress
};

enum class WriterKind { Compilation, ImageBurn };

// One writer run on its own thread; the owner joins it (Join) before starting another or going away.
class WriterThread {
public:
    WriterThread() = default;
    ~WriterThread() { Join(); }
    WriterThread(const WriterThread&) = delete;
    WriterThread& operator=(const WriterThread&) = delete;
    // A completion handler that waits for its own writer would wait for ever: from the writer thread
    // itself this returns at once.
    void Join() {
        if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    }
    bool Running() const { return m_thread.joinable(); }

protected:
    void Launch(std::function<void()> body);

private:
    std::thread m_thread;
};

class TThWrite final : public WriterThread {
public:
    // Starts the run at once (disc mode unless toImageFile).
    void Start(WriteRun run, bool toImageFile);
    bool ToImageFile() const { return m_toImageFile; }

private:
    bool m_toImageFile = false;
};

class TISOWrite final : public WriterThread {
public:
    void Start(WriteRun run);
};

} // namespace lorvane::pipeline
