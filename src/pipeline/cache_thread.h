#pragma once
// TCacheThread: the producer of a compilation burn or background image save. It queues the session's
// sectors in on-disc order: the structure sectors up to the boot catalog, the boot image in whole
// sectors, the rest of the structure sectors (padding), every source file in whole sectors, and zero
// sectors up to the 300-sector minimum when asked.

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/block_queue.h"

namespace lorvane::pipeline {

struct SourceFile {
    std::string path;
    std::int64_t size = 0; // the bytes the layout gave the file
};

struct CompilationSources {
    std::vector<std::uint8_t>* structure = nullptr; // emptied once queued (a new burn needs a new layout)
    std::size_t bootImageOffset = 0;                // where in the structure the boot image goes
    std::string bootImagePath;                      // empty without a boot image
    std::int64_t bootImageBytes = 0;                // the boot image's length at layout time
    std::vector<SourceFile> files;                  // file-table order; no folders, imported or empty files
};

class TCacheThread final : public BlockQueue {
public:
    // imageSize: the session's bytes. The thread starts at once.
    TCacheThread(int cacheSize, CompilationSources sources, std::int64_t imageSize, bool writePostGap);
    ~TCacheThread() override;

    bool PadToMinimum() const { return m_padToMinimum; }

private:
    void Body() override;
    // Queues bytes of the structure in exact chunks; false when cancelled.
    bool QueueStructure(std::size_t from, std::size_t to);
    // Copies exactly `size` bytes of a file into whole sectors of the staging block, queueing every
    // block that fills; false when the run ended (cancelled or failed).
    bool CopySource(const std::string& path, std::int64_t size, bool dropToIdle);
    bool FlushStaging();

    CompilationSources m_sources;
    const std::int64_t m_imageSize;
    const bool m_padToMinimum;
    std::unique_ptr<CacheBlock> m_staging; // the block being filled
};

// The reason a source ends before the bytes the layout gave it.
std::string ShorterSourceText(const std::string& path);

} // namespace lorvane::pipeline
