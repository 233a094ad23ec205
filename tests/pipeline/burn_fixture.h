#pragma once
// A burner component connected to the virtual recorder in-process, on the virtual clock, with a temporary
// source folder; helpers to wait for a write's completion and to read the disc file back.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "drive/scsi_device.h"
#include "image/orbel_burner.h"
#include "recorder/disc_medium.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace lorvane::pipeline::testing {

using Bytes = std::vector<std::uint8_t>;

// Collects log lines from any thread.
class LogLines final : public drive::DebugTextSink {
public:
    ~LogLines() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override {
        std::scoped_lock lock(m_lock);
        m_lines.push_back(line);
    }
    std::vector<std::string> Lines() const {
        std::scoped_lock lock(m_lock);
        return m_lines;
    }
    bool Contains(const std::string& text) const {
        for (const std::string& line : Lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

private:
    mutable std::mutex m_lock; // guards m_lines
    std::vector<std::string> m_lines;
};

// Waits for OnWriteDone, which the writer raises on its own thread.
class DoneWaiter {
public:
    void Attach(image::TOrbelBurner& burner) {
        burner.OnWriteDone = [this](image::TOrbelBurner*, const std::string& error) {
            {
                std::scoped_lock lock(m_lock);
                m_results.push_back(error);
            }
            m_done.notify_all();
        };
    }
    // The error text of the nth completion, counted from 1 ("" on success).
    std::string Wait(std::size_t nth = 1) {
        std::unique_lock lock(m_lock);
        m_done.wait(lock, [&] { return m_results.size() >= nth; });
        return m_results[nth - 1];
    }
    std::size_t Count() {
        std::scoped_lock lock(m_lock);
        return m_results.size();
    }
    std::vector<std::string> Results() {
        std::scoped_lock lock(m_lock);
        return m_results;
    }

private:
    std::mutex m_lock; // guards m_results
    std::condition_variable m_done;
    std::vector<std::string> m_results;
};

// The component's clock: the shared virtual clock, with a hook that sees every sleep of the component's
// threads (the writer's retries, its lead-out countdown) before time moves on.
class ObservedClock final : public transport::Clock {
public:
    explicit ObservedClock(lorvane::testing::FakeClock& clock) : m_clock(clock) {}
    TimePoint Now() const override { return m_clock.Now(); }
    void SleepFor(std::chrono::milliseconds duration) override {
        if (onSleep) onSleep(duration);
        m_clock.SleepFor(duration);
    }
    // Set before a write starts and cleared after it ended; called on the sleeping thread.
    std::function<void(std::chrono::milliseconds)> onSleep;

private:
    lorvane::testing::FakeClock& m_clock;
};

inline Bytes ReadFileBytes(const std::filesystem::path& path, std::size_t offset = 0,
                           std::size_t length = SIZE_MAX) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    Bytes data;
    char chunk[65536];
    while (length > 0) {
        in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, length)));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        data.insert(data.end(), chunk, chunk + got);
        length -= got;
    }
    return data;
}

inline Bytes PatternBytes(std::size_t size, unsigned seed) {
    Bytes data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return data;
}

class BurnFixture : public ::testing::Test {
protected:
    void SetUp() override {
        transport::CloseTransport();
        transport::SetPassThroughKernel(&kernel);
        std::string folder = (std::filesystem::path(::testing::TempDir()) / "lorvane_burn_XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        m_folder = folder;
        std::filesystem::create_directories(Source());
        drive = &recorder.AddDrive(identity, m_folder / "drive.disc");
        recorder::VirtualRecorder::Install(&recorder);
        transport::SetModuleLoader(&loader);
        burner.emplace(componentClock);
        ASSERT_TRUE(burner->InitTransport(false));
        burner->SetDebugWindow(&log);
        burner->DoDebug = true;
        burner->WritePostGap = false;
        done.Attach(*burner);
    }
    void TearDown() override {
        if (burner) burner->WaitForWriteEnd();
        componentClock.onSleep = nullptr;
        burner.reset();
        transport::CloseTransport();
        transport::SetModuleLoader(nullptr);
        recorder::VirtualRecorder::Install(nullptr);
        transport::SetPassThroughKernel(nullptr);
        drive->ChangeMedium(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    void Insert(recorder::MediumKind kind) {
        const std::optional<std::string> refusal = recorder::InsertDisc(*drive, kind);
        ASSERT_FALSE(refusal.has_value()) << *refusal;
        burner->SetDevice(burner->DeviceList.at(0));
    }

    std::filesystem::path Source() const { return m_folder / "source"; }
    std::filesystem::path Folder() const { return m_folder; }
    std::filesystem::path DiscFile() const { return drive->DiscPath(); }

    // Writes a source file of the given content under the source folder.
    std::string AddSource(const std::string& relative, const Bytes& content) {
        const std::filesystem::path path = Source() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return path.string();
    }

    // Puts the source folder in the compilation and prepares it for a disc (isoOnly false) or a file.
    void Prepare(bool isoOnly) {
        burner->ClearCompilation(600000, 20000);
        ASSERT_EQ(burner->AddDirectory(burner->Root, Source().string(), "*.*", image::attr::kAnyFile, true,
                                       false, false),
                  1);
        ASSERT_TRUE(burner->PrepareImage(isoOnly)) << burner->ImageError;
    }

    // Ends the current write and forgets the clock hook, so its captures may go out of scope.
    void FinishWrite() {
        burner->WaitForWriteEnd();
        componentClock.onSleep = nullptr;
    }

    // The session's bytes as the disc or the image should hold them from its first sector: the
    // structures and the files in whole sectors at their extents (without a boot image).
    Bytes ExpectedSession(const Bytes& structure) const {
        Bytes expected = structure;
        for (const auto& file : burner->Files()) {
            if (file->Dir || file->ISOSize == 0) continue;
            Bytes content = ReadFileBytes(file->SourcePath);
            content.resize(static_cast<std::size_t>(image::SectorsFor(file->ISOSize) * 2048), 0);
            const auto at =
                static_cast<std::size_t>(burner->FirstFileLocation - burner->SessionStart * 2048ll) +
                std::size_t{file->Extent} * 2048;
            if (expected.size() < at + content.size()) expected.resize(at + content.size(), 0);
            std::copy(content.begin(), content.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
        }
        return expected;
    }
    Bytes ExpectedSession() const { return ExpectedSession(burner->StructureStream); }

    // The commands the drive received with this operation code, in order.
    std::vector<recorder::CommandRecord> Sent(std::uint8_t opcode) const {
        std::vector<recorder::CommandRecord> matching;
        for (const recorder::CommandRecord& record : drive->Commands())
            if (!record.cdb.empty() && record.cdb[0] == opcode) matching.push_back(record);
        return matching;
    }

    recorder::DiscState Disc() {
        return drive->WithMedium(
            [](recorder::Medium* medium) { return dynamic_cast<recorder::DiscMedium&>(*medium).State(); });
    }

    lorvane::testing::FakeClock clock;
    ObservedClock componentClock{clock};
    lorvane::testing::FakeKernel kernel;
    recorder::DriveIdentity identity;
    recorder::VirtualRecorder recorder{clock};
    recorder::InProcessModuleLoader loader;
    recorder::VirtualDrive* drive = nullptr;
    std::optional<image::TOrbelBurner> burner;
    LogLines log;
    DoneWaiter done;

private:
    std::filesystem::path m_folder;
};

} // namespace lorvane::pipeline::testing
