// Fuzzes the import of a session from a disc anyone may have made: the input becomes a pressed disc in
// the virtual recorder, the session is imported into an empty tree and every imported file is copied
// out. Nothing the disc holds may crash the import, reach outside a buffer, or keep it walking for long.
//
// Input: byte 0 chooses the medium and how much of the disc follows the input; the rest is the disc from
// sector 16 on (the volume descriptors, then whatever the descriptors point at). The disc holds at most
// kMaxSectors sectors, so every extent below that is the fuzzer's to fill.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "drive/scsi_device.h"
#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace {

namespace fs = std::filesystem;
using namespace lorvane;

constexpr std::size_t kSector = 2048;
constexpr std::size_t kSystemArea = 16;  // sectors 0-15 (ECMA-119 6.2.1), zero here
constexpr std::size_t kMaxSectors = 256; // the whole disc
constexpr std::size_t kMaxExtractions = 64;

class Discard final : public drive::DebugTextSink {
public:
    ~Discard() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override { m_characters += line.size(); }

private:
    std::size_t m_characters = 0;
};

// One virtual recorder with one drive and a burner connected to it in-process, on the virtual clock,
// made once for the whole run.
struct Bench {
    Bench() {
        std::string pattern = (fs::temp_directory_path() / "lorvane_fuzz_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
        transport::SetPassThroughKernel(&kernel);
        drive = &recorder.AddDrive(identity, folder / "fuzz.disc");
        recorder::VirtualRecorder::Install(&recorder);
        transport::SetModuleLoader(&loader);
        burner.emplace(clock);
        if (!burner->InitTransport(false)) std::abort();
        burner->SetDebugWindow(&sink);
        burner->DoDebug = true; // failed commands are decoded and logged, as in the program
    }

    testing::FakeClock clock;
    testing::FakeKernel kernel;
    recorder::DriveIdentity identity;
    recorder::VirtualRecorder recorder{clock};
    recorder::InProcessModuleLoader loader;
    recorder::VirtualDrive* drive = nullptr;
    Discard sink;
    std::optional<image::TOrbelBurner> burner;
    fs::path folder;
    bool selected = false;
};

Bench* g_bench = nullptr;

void RemoveFolder() {
    std::error_code ignored;
    if (g_bench) fs::remove_all(g_bench->folder, ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never freed: the recorder and the transport stay up until the process ends.
    g_bench = new Bench();
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Bench& bench = *g_bench;
    const std::uint8_t layout = data[0];
    const std::size_t bodyBytes = std::min(size - 1, (kMaxSectors - kSystemArea) * kSector);

    // Bit 0: CD-ROM or DVD-ROM; bits 1-7: zero sectors after the input (within the disc's bound), so
    // extents past the input hit readable empty sectors or the end of the disc.
    const recorder::MediumKind kind = layout & 1 ? recorder::MediumKind::DvdRom : recorder::MediumKind::CdRom;
    const std::size_t inputSectors = kSystemArea + (bodyBytes + kSector - 1) / kSector;
    const std::size_t sectors = std::min(kMaxSectors, inputSectors + (layout >> 1));
    std::string disc(sectors * kSector, '\0');
    disc.replace(kSystemArea * kSector, bodyBytes, reinterpret_cast<const char*>(data + 1), bodyBytes);
    {
        std::ofstream out(bench.drive->DiscPath(), std::ios::binary | std::ios::trunc);
        out.write(disc.data(), static_cast<std::streamsize>(disc.size()));
        if (!out) std::abort();
    }
    if (recorder::InsertDisc(*bench.drive, kind)) std::abort();
    bench.drive->ClearCommands(); // the drive keeps every command it was sent
    if (!bench.selected) {
        bench.burner->SetDevice(bench.burner->DeviceList.at(0));
        bench.selected = true;
    }

    image::TOrbelBurner& burner = *bench.burner;
    burner.ClearCompilation(65535, 8191);
    if (!burner.ImportDiscSession(-1, nullptr)) return 0;

    const fs::path out = bench.folder / "extract";
    fs::create_directories(out);
    std::size_t extracted = 0;
    for (const auto& file : burner.Files()) {
        if (file->Dir) continue;
        if (++extracted > kMaxExtractions) break;
        try {
            (void)burner.ExtractFile(file.get(), (out / std::to_string(extracted)).string());
        } catch (const image::ImageWriteError&) {
            // A destination that cannot be written is the local disk's failure, not the disc's.
        }
    }
    std::error_code ignored;
    fs::remove_all(out, ignored);
    return 0;
}
