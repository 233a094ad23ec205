#include "pipeline/cache_thread.h"

#include <algorithm>
#include <cstring>

#include "pipeline/stream_ex.h"

namespace lorvane::pipeline {

namespace {

std::int32_t RoundToSector(std::int32_t bytes) {
    return (bytes + kQueueSectorSize - 1) / kQueueSectorSize * kQueueSectorSize;
}

// Reads exactly count bytes unless the stream ends first; the number read.
std::int32_t ReadChunk(TStreamEx& stream, std::uint8_t* into, std::int32_t count) {
    std::int32_t done = 0;
    while (done < count) {
        const std::int32_t got = stream.Read(into + done, count - done);
        if (got <= 0) break;
        done += got;
    }
    return done;
}

} // namespace

std::string ShorterSourceText(const std::string& path) {
    return "FILE \"" + path + "\" IS SHORTER THAN WHEN IT WAS ADDED";
}

TCacheThread::TCacheThread(int cacheSize, CompilationSources sources, std::int64_t imageSize,
                           bool writePostGap)
    : BlockQueue(cacheSize), m_sources(std::move(sources)), m_imageSize(imageSize),
      m_padToMinimum(writePostGap && imageSize < kMinimumSessionBytes) {
    SetRemaining(imageSize);
    Start();
}

TCacheThread::~TCacheThread() {
    Stop();
}

bool TCacheThread::QueueStructure(std::size_t from, std::size_t to) {
    const std::vector<std::uint8_t>& structure = *m_sources.structure;
    while (from < to) {
        const auto n = static_cast<std::int32_t>(std::min<std::size_t>(to - from, kCacheBlockBytes));
        auto block = NewBlock();
        std::memcpy(block->data.data(), structure.data() + from, static_cast<std::size_t>(n));
        block->length = n;
        if (!Queue(std::move(block)) || !WaitForRoom(false)) return false;
        from += static_cast<std::size_t>(n);
    }
    return true;
}

bool TCacheThread::FlushStaging() {
    if (!m_staging || m_staging->length == 0) return true;
    return Queue(std::move(m_staging));
}

bool TCacheThread::CopySource(const std::string& path, std::int64_t size, bool dropToIdle) {
    std::unique_ptr<TFileStreamEx> source;
    try {
        source = std::make_unique<TFileStreamEx>(path, kInputMode);
    } catch (const EStreamError& error) {
        Fail(error.what());
        return false;
    }
    std::int64_t left = size;
    while (left > 0) {
        if (!m_staging) m_staging = NewBlock();
        const std::int32_t free = kCacheBlockBytes - m_staging->length;
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, free));
        std::uint8_t* at = m_staging->data.data() + m_staging->length;
        if (ReadChunk(*source, at, n) != n) {
            Fail(ShorterSourceText(path));
            return false;
        }
        // Each file starts on a sector boundary; the tail of its last sector is zero.
        const std::int32_t rounded = RoundToSector(n);
        std::memset(at + n, 0, static_cast<std::size_t>(rounded - n));
        m_staging->length += rounded;
        left -= n;
        if (Cancelled()) return false;
        if (m_staging->length == kCacheBlockBytes) {
            if (!FlushStaging()) return false;
            const std::size_t queued = QueueLength();
            const int maxBlocks = MaxBlocks();
            SetPriority(queued < static_cast<std::size_t>(maxBlocks / 4)   ? PriorityLevel::Normal
                        : queued < static_cast<std::size_t>(maxBlocks / 2) ? PriorityLevel::BelowNormal
                                                                           : PriorityLevel::Lowest);
            if (!WaitForRoom(dropToIdle)) return false;
        }
    }
    return true;
}

void TCacheThread::Body() {
    Reset();
    std::vector<std::uint8_t>& structure = *m_sources.structure;
    const std::size_t split = std::min(m_sources.bootImageOffset, structure.size());

    const auto cancelled = [this] {
        if (Cancelled()) FinishCancelled();
    };
    if (!QueueStructure(0, split)) return cancelled();
    if (!m_sources.bootImagePath.empty()) {
        if (!CopySource(m_sources.bootImagePath, m_sources.bootImageBytes, false)) return cancelled();
        // The boot image ends on a sector boundary, and the structures go on from there.
        if (!FlushStaging() || !WaitForRoom(false)) return cancelled();
    }
    if (!QueueStructure(split, structure.size())) return cancelled();
    structure.clear();
    structure.shrink_to_fit();

    for (const SourceFile& file : m_sources.files) {
        if (file.size <= 0) continue;
        if (!CopySource(file.path, file.size, true)) return cancelled();
    }
    if (!FlushStaging()) return cancelled();

    if (m_padToMinimum) {
        std::int64_t pad = kMinimumSessionBytes - m_imageSize;
        AddRemaining(pad);
        while (pad > 0) {
            auto block = NewBlock();
            block->length = static_cast<std::int32_t>(std::min<std::int64_t>(pad, kCacheBlockBytes));
            std::memset(block->data.data(), 0, static_cast<std::size_t>(block->length));
            pad -= block->length;
            if (!Queue(std::move(block))) return cancelled();
        }
    }
    Drain();
}

} // namespace lorvane::pipeline
