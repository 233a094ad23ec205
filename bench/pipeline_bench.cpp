// Real-time runs of the writing pipeline, one per invocation, for scripts/bench-pipeline.sh:
//
//   pipeline_bench burn --medium cd-r|dvd-r --speed-kbs N --cache BYTES --disc FILE TREE
//       records TREE onto an in-process virtual recorder running on the system clock, with the drive
//       set to N kB/s, and prints the underruns the drive counted and the rate the data reached the disc.
//   pipeline_bench save --out FILE TREE
//       builds the image of TREE in the background (producer and image-file writer) and prints the time.
//
// Both print one line of key=value pairs on success and exit 0; errors go to stderr with exit 1.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "transport/aspi.h"
#include "transport/clock.h"

namespace {

using namespace lorvane;
using Seconds = std::chrono::duration<double>;

struct Options {
    std::string verb;
    std::string medium = "dvd-r";
    std::uint16_t speedKBs = 22160;
    int cache = image::kDefaultCacheSize;
    std::string disc;
    std::string out;
    std::string tree;
};

std::optional<Options> Parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Options o;
    o.verb = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--medium") {
            o.medium = value();
        } else if (arg == "--speed-kbs") {
            o.speedKBs = static_cast<std::uint16_t>(std::strtoul(value().c_str(), nullptr, 10));
        } else if (arg == "--cache") {
            o.cache = static_cast<int>(std::strtol(value().c_str(), nullptr, 10));
        } else if (arg == "--disc") {
            o.disc = value();
        } else if (arg == "--out") {
            o.out = value();
        } else if (arg[0] != '-' && o.tree.empty()) {
            o.tree = arg;
        } else {
            return std::nullopt;
        }
    }
    if (o.tree.empty() || (o.verb == "burn" && o.disc.empty()) || (o.verb == "save" && o.out.empty()))
        return std::nullopt;
    return o;
}

// OnWriteDone arrives on the writer's thread.
class DoneWaiter {
public:
    void Attach(image::TOrbelBurner& burner) {
        burner.OnWriteDone = [this](image::TOrbelBurner*, const std::string& error) {
            {
                std::scoped_lock lock(m_lock);
                m_error = error;
            }
            m_done.notify_all();
        };
    }
    std::string Wait() {
        std::unique_lock lock(m_lock);
        m_done.wait(lock, [&] { return m_error.has_value(); });
        return *m_error;
    }

private:
    std::mutex m_lock; // guards m_error
    std::condition_variable m_done;
    std::optional<std::string> m_error;
};

bool Compile(image::TOrbelBurner& burner, const std::string& tree, bool isoOnly) {
    burner.ClearCompilation(600000, 20000);
    if (burner.AddDirectory(burner.Root, tree, "*.*", image::attr::kAnyFile, true, false, false) != 1) {
        std::cerr << "pipeline_bench: cannot add " << tree << '\n';
        return false;
    }
    if (!burner.PrepareImage(isoOnly)) {
        std::cerr << "pipeline_bench: " << burner.ImageError << '\n';
        return false;
    }
    return true;
}

// The drive of the benchmark: the default recorder, which also writes CD-R at 48x and 52x (8467 and
// 9173 kB/s) so that the fastest CD speeds of current drives can be tried.
recorder::DriveIdentity BenchDrive() {
    recorder::DriveIdentity identity;
    auto& speeds = identity.model.cdWriteSpeedsKBs;
    speeds.insert(speeds.begin(), {9173, 8467});
    return identity;
}

int Burn(const Options& o) {
    const std::optional<recorder::MediumKind> kind = recorder::MediumKindFromName(o.medium);
    if (!kind) {
        std::cerr << "pipeline_bench: unknown medium " << o.medium << '\n';
        return 1;
    }
    transport::Clock& clock = transport::SystemClock();
    recorder::VirtualRecorder virtualRecorder(clock);
    recorder::VirtualDrive& drive = virtualRecorder.AddDrive(BenchDrive(), o.disc);
    if (const auto refusal = recorder::InsertDisc(drive, *kind)) {
        std::cerr << "pipeline_bench: " << *refusal << '\n';
        return 1;
    }
    recorder::InProcessModuleLoader loader;
    recorder::VirtualRecorder::Install(&virtualRecorder);
    transport::SetModuleLoader(&loader);
    int status = 1;
    {
        image::TOrbelBurner burner(clock);
        burner.UnderrunProtection = true;
        burner.FinalizeDisc = false;
        burner.WritePostGap = false;
        burner.SetCacheSize(o.cache);
        DoneWaiter done;
        done.Attach(burner);
        if (burner.InitTransport(false) && !burner.DeviceList.empty()) {
            burner.SetDevice(burner.DeviceList.at(0));
            // x as the component sends it (x times 177 kB/s), rounded up so that the drive, which
            // rounds down, lands on the speed asked for.
            burner.SetWriteSpeed(static_cast<std::uint16_t>((o.speedKBs + 176) / 177));
            if (Compile(burner, o.tree, false)) {
                const auto start = std::chrono::steady_clock::now();
                drive.ResetRecording();
                burner.Burn();
                const std::string error = done.Wait();
                const Seconds wall = std::chrono::steady_clock::now() - start;
                const recorder::RecordingStats stats = drive.Recording();
                if (!error.empty()) {
                    std::cerr << "pipeline_bench: " << error << '\n';
                } else {
                    const double rate = stats.BytesPerSecond() / 1000.0;
                    std::printf("medium=%s asked_kbs=%u drive_kbs=%u cache=%d bytes=%llu underruns=%u "
                                "starved_s=%.3f rate_kbs=%.1f rate_vs_asked=%.4f rate_vs_drive=%.4f "
                                "wall_s=%.3f\n",
                                o.medium.c_str(), o.speedKBs, stats.writeSpeedKBs, burner.CacheSize(),
                                static_cast<unsigned long long>(stats.bytes), stats.underruns,
                                std::chrono::duration<double>(stats.starved).count(), rate, rate / o.speedKBs,
                                stats.writeSpeedKBs != 0 ? rate / stats.writeSpeedKBs : 0.0, wall.count());
                    status = 0;
                }
            }
        } else {
            std::cerr << "pipeline_bench: the virtual recorder could not be started\n";
        }
    }
    transport::CloseTransport();
    transport::SetModuleLoader(nullptr);
    recorder::VirtualRecorder::Install(nullptr);
    drive.ChangeMedium(nullptr);
    return status;
}

int Save(const Options& o) {
    image::TOrbelBurner burner(transport::SystemClock());
    burner.WritePostGap = false;
    DoneWaiter done;
    done.Attach(burner);
    if (!Compile(burner, o.tree, true)) return 1;
    const auto start = std::chrono::steady_clock::now();
    burner.SaveToISO(o.out, false);
    const std::string error = done.Wait();
    const Seconds wall = std::chrono::steady_clock::now() - start;
    if (!error.empty()) {
        std::cerr << "pipeline_bench: " << error << '\n';
        return 1;
    }
    std::printf("bytes=%llu wall_s=%.3f\n",
                static_cast<unsigned long long>(std::filesystem::file_size(o.out)), wall.count());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = Parse(argc, argv);
    if (!options || (options->verb != "burn" && options->verb != "save")) {
        std::cerr << "usage: pipeline_bench burn --medium cd-r|dvd-r --speed-kbs N --cache BYTES --disc FILE "
                     "TREE\n       pipeline_bench save --out FILE TREE\n";
        return 2;
    }
    try {
        return options->verb == "burn" ? Burn(*options) : Save(*options);
    } catch (const std::exception& error) {
        std::cerr << "pipeline_bench: " << error.what() << '\n';
        return 1;
    }
}
