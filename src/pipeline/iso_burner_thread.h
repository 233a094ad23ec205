#pragma once
// TISOBurnerThread: the producer of an image burn. It reads an existing image file ahead, in whole
// sectors, into the same block queue the compilation producer uses.

#include <cstdint>
#include <string>

#include "pipeline/block_queue.h"

namespace lorvane::pipeline {

class TISOBurnerThread final : public BlockQueue {
public:
    // fileSize: the image's bytes as BurnISO found them. The thread starts at once.
    TISOBurnerThread(int cacheSize, std::int64_t fileSize, std::string fileName);
    ~TISOBurnerThread() override;

private:
    void Body() override;

    const std::int64_t m_fileSize;
    const std::string m_fileName;
};

} // namespace lorvane::pipeline
