// Starting, watching and stopping the writes of the component: a compilation burn, a background image
// save and an image burn, each one producer thread that reads ahead and one writer thread.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "drive/disc_info.h"
#include "image/orbel_burner.h"
#include "pipeline/cache_thread.h"
#include "pipeline/iso_burner_thread.h"
#include "pipeline/stream_ex.h"
#include "pipeline/writer.h"

namespace lorvane::image {

namespace {

constexpr const char* kWriteRunningText = "ANOTHER WRITE IS STILL RUNNING";
constexpr const char* kNotPreparedText = "THE COMPILATION IS NOT PREPARED";

constexpr std::int64_t kCdFrameOffset = 150;
constexpr std::uint8_t kDiscStatusComplete = 2; // READ DISC INFORMATION byte 2 bits 0-1 (MMC)

// Megabytes of 1,048,576 bytes as every size is shown: "#,##0.00".
std::string Megabytes(std::int64_t sectors) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(sectors) * 2048.0 / 1048576.0);
    std::string shown = text;
    for (std::size_t at = shown.find('.'); at > 3; at -= 3) shown.insert(at - 3, ",");
    return shown;
}

} // namespace

bool TOrbelBurner::DiscIsClosed() {
    // Only media that append sessions, and pressed discs, which are complete from the factory: a
    // formatted rewritable DVD may call itself complete and is still written from its start.
    const std::uint8_t medium = GetMediumType();
    const bool appends = medium == drive::medium::kCdR || medium == drive::medium::kCdRw ||
                         medium == drive::medium::kDvdR || medium == drive::medium::kDvdPlusR;
    const bool pressed = medium == drive::medium::kCdRom || medium == drive::medium::kDvdRom ||
                         medium == drive::medium::kDdcdRom;
    return (appends || pressed) && ReadDiscInformation() &&
           (DiscInformation()[2] & 0x03) == kDiscStatusComplete;
}

std::string TOrbelBurner::RoomRefusal(const char* what, std::int64_t start, std::int64_t sectors) {
    // The disc's capacity as the drive reports it (the ATIP lead-out of a CD, the user area of a DVD);
    // a drive that says nothing is trusted to refuse the write itself. The ATIP counts frames from
    // 00:00:00, 150 before the first block.
    std::int64_t capacity = GetDiscCapacity();
    const std::uint8_t medium = GetMediumType();
    if (capacity > kCdFrameOffset && medium <= drive::medium::kCdRw) capacity -= kCdFrameOffset;
    // A sequential DVD is laid out from block 0 but recorded where the drive says writing goes on.
    if (medium == drive::medium::kDvdR || medium == drive::medium::kDvdRw ||
        medium == drive::medium::kDvdPlusR) {
        const std::uint8_t last = GetLastSession();
        if (last != 0xFF && ReadTrackInformation(static_cast<std::uint8_t>(last + 1)))
            start = std::max<std::int64_t>(start, TrackInfo().nextWritable);
    }
    if (capacity == 0 || start + sectors <= capacity) return {};
    const std::int64_t room = capacity > start ? capacity - start : 0;
    return std::string(what) + " DOES NOT FIT ON THE DISC (" + Megabytes(sectors) + " MB NEEDED, " +
           Megabytes(room) + " MB FREE)";
}

bool TOrbelBurner::RefuseWrite(const std::string& reason) {
    AddDebugMessage(">>> " + reason, 1);
    if (OnWriteDone) OnWriteDone(this, reason);
    return false;
}

int TOrbelBurner::SaveToISO(const std::string& fileName, bool quickSave) {
    if (quickSave) return SaveQuick(fileName);
    ISOFileName = fileName;
    if (Writing() || StructureStream.empty()) {
        if (OnWriteDone) OnWriteDone(this, Writing() ? kWriteRunningText : kNotPreparedText);
        return -1;
    }
    if (!StartProducer(std::make_unique<pipeline::TCacheThread>(CacheSize(), MakeSources(),
                                                                SessionSectors * kSectorSize, WritePostGap)))
        return -1;
    StartWriteThread(true);
    return -1;
}

bool TOrbelBurner::Burn() {
    if (Writing() || StructureStream.empty()) {
        if (OnWriteDone) OnWriteDone(this, Writing() ? kWriteRunningText : kNotPreparedText);
        return false;
    }
    // A closed disc takes no further session; the drive would only refuse the first block.
    if (DiscIsClosed()) {
        return RefuseWrite(kClosedDiscMessage);
    }
    // A write-once disc that runs out of room in the middle of the session is lost: refuse first.
    if (const std::string refusal = RoomRefusal("THE SESSION", SessionStart, TotalSectors());
        !refusal.empty()) {
        return RefuseWrite(refusal);
    }
    if (!StartProducer(std::make_unique<pipeline::TCacheThread>(CacheSize(), MakeSources(),
                                                                SessionSectors * kSectorSize, WritePostGap)))
        return false;
    return StartWriteThread(false);
}

bool TOrbelBurner::BurnISO(const std::string& fileName) {
    if (Writing()) {
        if (OnWriteDone) OnWriteDone(this, kWriteRunningText);
        return false;
    }
    std::int64_t size = 0;
    try {
        pipeline::TFileStreamEx image(fileName, pipeline::kInputMode);
        size = image.Size();
    } catch (const pipeline::EStreamError& error) {
        if (OnWriteDone) OnWriteDone(this, error.what());
        return false;
    }
    // A closed or pressed disc is not empty, and its first track may still start at block 0, where the
    // writer's own test would let the image through to the drive's refusal.
    if (DiscIsClosed()) {
        return RefuseWrite(pipeline::kNeedEmptyDiscText);
    }
    if (const std::string refusal = RoomRefusal("THE IMAGE", 0, (size + kSectorSize - 1) / kSectorSize);
        !refusal.empty()) {
        return RefuseWrite(refusal);
    }
    if (!StartProducer(std::make_unique<pipeline::TISOBurnerThread>(CacheSize(), size, fileName)))
        return false;
    SessionSectors = size / kSectorSize;
    m_imageWriter.Start(MakeRun());
    return true;
}

pipeline::CompilationSources TOrbelBurner::MakeSources() {
    pipeline::CompilationSources sources;
    sources.structure = &StructureStream;
    sources.bootImageOffset = BootImageStreamOffset();
    if (Bootable) {
        sources.bootImagePath = BootImage;
        sources.bootImageBytes = BootImageBytes;
    }
    // Folders have no data and imported files keep theirs in the earlier session.
    for (const auto& file : m_files)
        if (!file->Dir && !file->Imported && file->ISOSize > 0)
            sources.files.push_back({file->SourcePath, file->ISOSize});
    return sources;
}

bool TOrbelBurner::StartProducer(std::unique_ptr<pipeline::BlockQueue> producer) {
    m_writer.Join();
    m_imageWriter.Join();
    pipeline::BlockQueue* started = producer.get();
    {
        std::scoped_lock lock(m_producerLock);
        m_producer = std::move(producer);
    }
    if (started->WaitUntilPrimed()) return true;
    const std::string error = started->ErrorText();
    ReleaseProducer();
    if (OnWriteDone) OnWriteDone(this, error);
    return false;
}

void TOrbelBurner::ReleaseProducer() {
    std::unique_ptr<pipeline::BlockQueue> released;
    {
        std::scoped_lock lock(m_producerLock);
        released = std::move(m_producer);
    }
    // Destroying it joins its thread, outside the lock.
    released.reset();
}

pipeline::WriteRun TOrbelBurner::MakeRun() {
    pipeline::WriteRun run;
    run.device = this;
    {
        std::scoped_lock lock(m_producerLock);
        run.producer = m_producer.get();
    }
    run.imageFileName = ISOFileName;
    run.totalSectors = TotalSectors();
    run.prepareTrack = [this] { return PrepareTrack(); };
    run.sessionStart = [this] { return SessionStart; };
    run.finalizingTrack = [this] {
        if (OnFinalizingTrack) OnFinalizingTrack(this);
    };
    run.releaseProducer = [this] { ReleaseProducer(); };
    run.writeDone = [this](const std::string& error) {
        if (OnWriteDone) OnWriteDone(this, error);
    };
    run.writtenBytes = &WrittenBytes;
    return run;
}

bool TOrbelBurner::StartWriteThread(bool toImageFile) {
    m_writer.Start(MakeRun(), toImageFile);
    return true;
}

void TOrbelBurner::AbortWrite() {
    pipeline::AbortRequested = true;
    std::scoped_lock lock(m_producerLock);
    if (m_producer) m_producer->Wake();
}

int TOrbelBurner::CacheFillPercent() const {
    if (!Writing()) return 0;
    std::scoped_lock lock(m_producerLock);
    if (!m_producer || CacheSize() <= 0) return 0;
    // Rounded to the nearest integer, ties to even (the default rounding mode).
    return static_cast<int>(
        std::nearbyint(static_cast<double>(m_producer->CachedBytes()) / CacheSize() * 100.0));
}

void TOrbelBurner::WaitForWriteEnd() {
    m_writer.Join();
    m_imageWriter.Join();
}

void TOrbelBurner::StopWriting() {
    if (Writing()) AbortWrite();
    m_writer.Join();
    m_imageWriter.Join();
    ReleaseProducer();
}

} // namespace lorvane::image
