#include "pipeline/iso_burner_thread.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pipeline/cache_thread.h"
#include "pipeline/stream_ex.h"

namespace lorvane::pipeline {

TISOBurnerThread::TISOBurnerThread(int cacheSize, std::int64_t fileSize, std::string fileName)
    : BlockQueue(cacheSize), m_fileSize(fileSize), m_fileName(std::move(fileName)) {
    SetRemaining(fileSize);
    Start();
}

TISOBurnerThread::~TISOBurnerThread() {
    Stop();
}

void TISOBurnerThread::Body() {
    Reset();
    if (!m_fileName.empty()) {
        std::unique_ptr<TFileStreamEx> image;
        try {
            image = std::make_unique<TFileStreamEx>(m_fileName, kInputMode);
        } catch (const EStreamError& error) {
            return Fail(error.what());
        }
        std::int64_t left = m_fileSize;
        while (left > 0) {
            auto block = NewBlock();
            const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, kCacheBlockBytes));
            std::int32_t done = 0;
            while (done < n) {
                const std::int32_t got = image->Read(block->data.data() + done, n - done);
                if (got <= 0) break;
                done += got;
            }
            // An image that shrank since it was measured would leave the disc short of its end.
            if (done != n) return Fail(ShorterSourceText(m_fileName));
            block->length = (n + kQueueSectorSize - 1) / kQueueSectorSize * kQueueSectorSize;
            std::memset(block->data.data() + n, 0, static_cast<std::size_t>(block->length - n));
            left -= n;
            if (!Queue(std::move(block)) || !WaitForRoom(false)) return FinishCancelled();
        }
    }
    Drain();
}

} // namespace lorvane::pipeline
