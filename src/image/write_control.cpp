// Starting, watching and stopping the writes of the component: a compilation burn, a background image
// save and an image burn, each one producer thread that reads ahead and one writer thread.

#include <cmath>

#include "image/orbel_burner.h"
#include "pipeline/cache_thread.h"
#include "pipeline/iso_burner_thread.h"
#include "pipeline/stream_ex.h"

namespace lorvane::image {

namespace {

constexpr const char* kWriteRunningText = "ANOTHER WRITE IS STILL RUNNING";
constexpr const char* kNotPreparedText = "THE COMPILATION IS NOT PREPARED";

} // namespace

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
