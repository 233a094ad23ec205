#pragma once
// The virtual recorder: a software MMC recorder behind the two ASPI entry points, written from the
// drive's side. It shares nothing with the drive component but the request-block layouts and the
// clock, so a fault in the component cannot hide behind the same fault in its test double.

#include "recorder/mechanics.h"
#include "transport/aspi.h"
#include "transport/clock.h"
#include "transport/srb.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::recorder {

struct DriveIdentity {
    std::string vendor = "LORVANE";           // INQUIRY bytes 8-15, space-padded to 8
    std::string product = "VIRTUAL RECORDER"; // bytes 16-31, space-padded to 16
    std::string revision = "1.00";            // bytes 32-35, space-padded to 4
    std::uint8_t peripheralType = 5;          // INQUIRY byte 0: 5 CD/DVD, 4 write-once
    DriveModel model{};                       // capabilities, speeds, buffer
};

enum class FaultKind {
    Busy,           // target status 08h
    CheckCondition, // target status 02h with the fault's sense bytes
    NeverComplete,  // the SRB stays pending until it is aborted
    Vanish,         // the drive is gone: no such device from now on
    OpenTray,       // the tray is opened (its button pressed) as the command arrives; the disc stays in
                    // it, and this command and those after it find the tray open
};

struct Fault {
    FaultKind kind = FaultKind::CheckCondition;
    std::optional<std::uint8_t> opcode; // only commands with this operation code; any when empty
    std::vector<std::uint8_t> sense;    // CheckCondition: raw sense bytes, any content, up to 32
    int skip = 0;                       // let this many matching commands pass first
    int times = 1;                      // fail this many matching commands; -1 = every one
};

// Fixed-format sense data (70h) with the given key, ASC and ASCQ.
std::vector<std::uint8_t> FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

struct CommandRecord {
    std::vector<std::uint8_t> cdb; // as sent, cdbLength bytes
    std::uint8_t flags = 0;
    std::uint32_t dataLength = 0;
};

class VirtualDrive; // defined in recorder/virtual_drive.h

class VirtualRecorder {
public:
    explicit VirtualRecorder(transport::Clock& clock = transport::SystemClock());
    ~VirtualRecorder();
    VirtualRecorder(const VirtualRecorder&) = delete;
    VirtualRecorder& operator=(const VirtualRecorder&) = delete;

    // Adds a drive on the given adapter; target defaults to the next free target on that adapter.
    // The disc file holds the medium's sectors (created when missing).
    VirtualDrive& AddDrive(const DriveIdentity& identity, const std::filesystem::path& discFile,
                           std::uint8_t adapter = 0, std::optional<std::uint8_t> target = std::nullopt);
    // The drive at that address, also after it vanished (so tests can still inspect it); nullptr when none.
    VirtualDrive* FindDrive(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun);
    std::size_t DriveCount() const;
    std::uint8_t AdapterCount() const; // highest adapter with a drive + 1

    std::uint32_t GetSupportInfo();
    std::uint32_t SendCommand(void* srb);
    // Execute requests left pending by a NeverComplete fault and not aborted since.
    std::size_t PendingCount() const;

    // Process-wide: the recorder the exported entry points forward to.
    static void Install(VirtualRecorder* recorder);
    static VirtualRecorder* Installed();
    static transport::ProviderEntryPoints EntryPoints();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Serves the installed recorder as if it were the manager module, so InitASPI picks it up through its
// normal road. Open succeeds for the module file name (any folder) while a recorder is installed.
class InProcessModuleLoader final : public transport::ModuleLoader {
public:
    void* Open(const std::string& path) override;
    void* Symbol(void* module, const char* name) override;
    void Close(void* module) override;
    int OpenCount() const { return m_openCount; }

private:
    int m_openCount = 0;
};

} // namespace lorvane::recorder
