#pragma once
// The built-in pass-through layer ("OBASPI32"): the two ASPI entry points over Linux SG_IO on the
// optical drives /dev/srN. Every OS call goes through PassThroughKernel, so tests can stand a fake
// kernel with fake drives behind the layer.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::transport {

struct ScsiAddress {
    std::uint8_t host = 0; // the kernel's host number: the ASPI adapter
    std::uint8_t channel = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
};

enum class DataDirection { None, In, Out };

// One SG_IO request and its answer.
struct PassThroughRequest {
    const std::uint8_t* cdb = nullptr;
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    std::uint8_t* data = nullptr;
    std::uint32_t dataLength = 0;
    std::uint8_t* sense = nullptr;
    std::uint8_t senseLength = 0; // room in sense
    std::uint32_t timeoutMs = 0;
    // answer
    std::uint8_t scsiStatus = 0;
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
    std::uint8_t senseWritten = 0;
};

class PassThroughKernel {
public:
    virtual ~PassThroughKernel() = default;
    // The numbers N of the optical drives /dev/srN, ascending.
    virtual std::vector<int> OpticalDrives() = 0;
    // open(2) with O_NONBLOCK, read-write or read-only; -1 on failure.
    virtual int Open(const std::string& path, bool readWrite) = 0;
    // ioctl(SG_IO); false when the call itself failed (the request's answer is then meaningless).
    virtual bool SendScsi(int fd, PassThroughRequest& request) = 0;
    // ioctl(SCSI_IOCTL_GET_IDLUN) or sysfs; nullopt when the device reports no address.
    virtual std::optional<ScsiAddress> Address(int fd) = 0;
    virtual void Close(int fd) = 0;
};

std::string OpticalDrivePath(int number); // "/dev/srN"
PassThroughKernel& LinuxKernel();
// Opens a drive node as the layer does: read-write first, read-only as the fallback. -1 on failure.
int OpenDrive(PassThroughKernel& kernel, const std::string& path);
// The kernel behind the layer (and behind the drive component's device-node lookup); nullptr
// restores the Linux kernel.
void SetPassThroughKernel(PassThroughKernel* kernel);
PassThroughKernel& ActiveKernel();

// Scans the drives into the table; returns 0 without doing anything when the layer is already open.
std::uint8_t PassThroughScan();
// Closes every open handle, clears the table and the open flag.
void PassThroughClose();
std::uint32_t PassThroughGetSupportInfo();
std::uint32_t PassThroughSendCommand(void* srb);

} // namespace lorvane::transport
