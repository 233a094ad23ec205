#pragma once
// A fake Linux kernel for the SG_IO pass-through layer: optical drives /dev/srN that answer INQUIRY,
// report (or withhold) a SCSI address, can refuse to open, and answer every other command from a
// script. Install it with transport::SetPassThroughKernel(&kernel) and remove it with nullptr.
//
// Descriptors are fake numbers (never real files), so a handle the layer forgets to close shows up in
// OpenHandles() rather than as a leaked descriptor.

#include "transport/pass_through.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::testing {

// What one fake drive does with a command other than INQUIRY.
struct FakeReply {
    bool ioctlFails = false;        // ioctl(SG_IO) itself returns -1: nothing else below is reported
    std::uint8_t scsiStatus = 0;    // SAM status byte, 02h = CHECK CONDITION
    std::uint16_t hostStatus = 0;   // DID_* value (DID_TIME_OUT 03h, DID_NO_CONNECT 01h, DID_BAD_TARGET 04h)
    std::uint16_t driverStatus = 0; // DRIVER_* value (DRIVER_SENSE 08h)
    std::vector<std::uint8_t> sense{}; // returned sense bytes, cut to the request's room
    std::vector<std::uint8_t> data{};  // data-in bytes, cut to the request's data length
};

// One request as the fake kernel saw it (copies, so it stays valid after the call).
struct SeenRequest {
    int fd = -1;
    std::vector<std::uint8_t> cdb;
    transport::DataDirection direction = transport::DataDirection::None;
    std::uint32_t dataLength = 0;
    std::vector<std::uint8_t> dataOut; // the bytes sent with DataDirection::Out
    std::uint8_t senseLength = 0;
    std::uint32_t timeoutMs = 0;
};

enum class OpenFailure { None, ReadWrite, Both };

// A standard INQUIRY reply (SPC-3 6.4.2): peripheral type 05h, removable, 96 bytes with the given
// vendor (8), product (16) and revision (4) texts, space-padded.
std::vector<std::uint8_t> StandardInquiry(const std::string& vendor, const std::string& product,
                                          const std::string& revision);

struct FakeDrive {
    int number = 0; // N of /dev/srN
    std::optional<transport::ScsiAddress> address;
    OpenFailure openFailure = OpenFailure::None;
    std::vector<std::uint8_t> inquiry = StandardInquiry("LORVANE", "FAKE DRIVE", "1.00");
    bool inquiryFails = false; // INQUIRY's ioctl fails
    // Other commands: the callback when set, else the next queued reply, else GOOD with no data.
    std::function<FakeReply(const SeenRequest&)> respond;
    std::deque<FakeReply> replies;

    // Counters, for the test to read once the layer is idle.
    int readWriteOpens = 0; // successful opens, by mode
    int readOnlyOpens = 0;
    int failedOpens = 0;
    int closes = 0;
    int inquiries = 0; // INQUIRY (12h) commands that reached the drive
    int commands = 0;  // every SG_IO request, INQUIRY included
    std::optional<SeenRequest> last;
};

class FakeKernel final : public transport::PassThroughKernel {
public:
    // Adds /dev/srN; the reference stays valid for the kernel's life.
    FakeDrive& AddDrive(int number, std::optional<transport::ScsiAddress> address = std::nullopt);
    FakeDrive& Drive(int number);                 // the drive must exist
    int OpenHandles() const;                      // descriptors opened and not yet closed, over all drives
    int BadCloses() const;                        // Close() of a descriptor that was not open
    std::vector<std::string> OpenedPaths() const; // every Open() path, in call order, failed ones too

    std::vector<int> OpticalDrives() override;
    int Open(const std::string& path, bool readWrite) override;
    bool SendScsi(int fd, transport::PassThroughRequest& request) override;
    std::optional<transport::ScsiAddress> Address(int fd) override;
    void Close(int fd) override;

private:
    FakeDrive* DriveOf(int fd); // caller holds m_lock

    mutable std::mutex
        m_lock; // guards m_drives (counters and scripts too), m_handles, m_nextFd, m_paths, m_badCloses
    std::map<int, FakeDrive> m_drives;
    std::map<int, int> m_handles; // fd -> drive number
    int m_nextFd = 1000;
    std::vector<std::string> m_paths;
    int m_badCloses = 0;
};

} // namespace lorvane::testing
