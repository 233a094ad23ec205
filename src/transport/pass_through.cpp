#include "transport/pass_through.h"

#include "transport/aspi.h"
#include "transport/byte_order.h"
#include "transport/srb.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace lorvane::transport {

namespace {

// Host (transport) status values of the Linux SCSI mid layer (include/scsi/scsi_status.h; not exported
// to user space).
inline constexpr std::uint16_t kDidNoConnect = 0x01;
inline constexpr std::uint16_t kDidTimeOut = 0x03;
inline constexpr std::uint16_t kDidBadTarget = 0x04;

inline constexpr std::uint8_t kInquiryOpcode = 0x12;
inline constexpr std::uint8_t kCdDvdDeviceType = 0x05; // SPC peripheral device type: CD/DVD
inline constexpr std::uint8_t kNoDeviceType = 0x1F;    // SPC: unknown or no device type
inline constexpr std::uint32_t kCommandTimeoutMs = 120'000;

// The scan's INQUIRY (SPC-3 6.4): standard data, allocation length 96.
inline constexpr std::array<std::uint8_t, 6> kScanInquiry = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
inline constexpr std::uint32_t kScanInquiryLength = 96;
inline constexpr std::uint8_t kScanSenseLength = 24;

inline constexpr std::size_t kSlotCount = 32;        // /dev/sr0 to /dev/sr31
inline constexpr std::size_t kCachedInquiry = 40;    // bytes kept per drive
inline constexpr std::size_t kInquiryAnswered = 36;  // bytes an INQUIRY is answered with from the cache
inline constexpr std::uint8_t kUnaddressedLun = 250; // marks, during the scan, a drive without an address

// Host adapter inquiry answer.
inline constexpr char kManagerId[] = "LORVANE SG_IO   ";
static_assert(sizeof(kManagerId) - 1 == 16);
inline constexpr std::uint8_t kAdapterScsiId = 7;
inline constexpr std::uint16_t kAlignmentMask = 0x0007;
inline constexpr std::uint8_t kMaxTargets = 8;
inline constexpr std::uint32_t kMaxTransferLength = 0x00FF0000;

struct DriveSlot {
    std::uint8_t adapter = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t driveNumber = 0; // N of /dev/srN
    bool present = false;
    bool unaddressed = false; // reported no address: goes on the virtual adapter after the scan
    int handle = -1;          // open descriptor, -1 when closed
    std::array<std::uint8_t, kCachedInquiry> inquiry{};
};

// The layer's process-wide table. Unlocked: only the scan and the close write the table (under
// InitASPI / ResetASPI); a command touches only its own slot's handle, and commands come from one
// thread at a time.
struct LayerState {
    bool open = false;
    std::uint8_t adapterCount = 0;
    std::uint8_t unaddressed = 0;
    std::array<DriveSlot, kSlotCount> slots{};
};

LayerState g_layer;
std::atomic<PassThroughKernel*> g_kernel{nullptr};

void Probe(PassThroughKernel& kernel, int number) {
    DriveSlot& slot = g_layer.slots[static_cast<std::size_t>(number)];
    const int fd = OpenDrive(kernel, OpticalDrivePath(number));
    if (fd < 0) return;

    std::array<std::uint8_t, 1024> reply{};
    std::array<std::uint8_t, kScanSenseLength> sense{};
    PassThroughRequest request;
    request.cdb = kScanInquiry.data();
    request.cdbLength = static_cast<std::uint8_t>(kScanInquiry.size());
    request.direction = DataDirection::In;
    request.data = reply.data();
    request.dataLength = kScanInquiryLength;
    request.sense = sense.data();
    request.senseLength = kScanSenseLength;
    request.timeoutMs = kCommandTimeoutMs;
    if (kernel.SendScsi(fd, request)) {
        std::copy_n(reply.begin(), kCachedInquiry, slot.inquiry.begin());
        slot.present = true;
        slot.driveNumber = static_cast<std::uint8_t>(number);
        slot.handle = -1;
        if (const auto address = kernel.Address(fd)) {
            slot.adapter = address->host;
            slot.target = address->target;
            slot.lun = address->lun;
        } else {
            slot.adapter = 0;
            slot.target = g_layer.unaddressed++;
            slot.lun = kUnaddressedLun;
            slot.unaddressed = true;
        }
    }
    kernel.Close(fd);
}

// Highest adapter number among the drives + 1; 0 with no drive. Adapter 255 is left out of the
// table before this runs, so the count always fits its byte.
std::uint8_t CountAdapters() {
    int highest = -1;
    for (const DriveSlot& slot : g_layer.slots)
        if (slot.present) highest = std::max<int>(highest, slot.adapter);
    return static_cast<std::uint8_t>(highest + 1);
}

DriveSlot* FindSlot(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
    for (DriveSlot& slot : g_layer.slots)
        if (slot.present && slot.adapter == adapter && slot.target == target && slot.lun == lun) return &slot;
    return nullptr;
}

void AnswerHostAdapterInquiry(SrbHostAdapterInquiry& srb) {
    srb.adapterCount = g_layer.adapterCount;
    if (srb.header.hostAdapter >= g_layer.adapterCount) {
        srb.header.status = srbstatus::kInvalidHostAdapter;
        return;
    }
    srb.adapterTargetId = kAdapterScsiId;
    std::memcpy(srb.managerId, kManagerId, sizeof(srb.managerId));
    // "SPTI", a blank and the adapter number in decimal (Linux host numbers can have three digits),
    // the rest of the field 0.
    std::memset(srb.adapterId, 0, sizeof(srb.adapterId));
    const std::string adapterId = "SPTI " + std::to_string(srb.header.hostAdapter);
    std::memcpy(srb.adapterId, adapterId.data(), adapterId.size());
    std::memset(srb.adapterUnique, 0, sizeof(srb.adapterUnique));
    ByteWriter unique(srb.adapterUnique);
    unique.PutLe16(0, kAlignmentMask);
    unique.PutU8(2, 0); // flags
    unique.PutU8(3, kMaxTargets);
    unique.PutLe32(4, kMaxTransferLength);
    srb.header.status = srbstatus::kComplete;
}

void AnswerGetDeviceType(SrbGetDeviceType& srb) {
    if (FindSlot(srb.header.hostAdapter, srb.target, srb.lun) != nullptr) {
        srb.deviceType = kCdDvdDeviceType;
        srb.header.status = srbstatus::kComplete;
    } else {
        srb.deviceType = kNoDeviceType;
        srb.header.status = srbstatus::kNoDevice;
    }
}

// The ASPI host adapter status that names why the kernel could not deliver a command.
std::uint8_t HostAdapterStatusFor(std::uint16_t hostStatus) {
    switch (hostStatus) {
    case kDidTimeOut: return hoststatus::kCommandTimeout;
    case kDidNoConnect:
    case kDidBadTarget: return hoststatus::kSelectionTimeout;
    default: return hoststatus::kOk;
    }
}

void Execute(SrbExecuteScsi& srb) {
    DriveSlot* slot = FindSlot(srb.header.hostAdapter, srb.target, srb.lun);
    if (slot == nullptr) {
        srb.header.status = srbstatus::kNoDevice;
        return;
    }
    // INQUIRY comes from the cache: the drive may be busy with a long operation, and its identity
    // does not change while the table is valid. Never more than the caller's buffer holds.
    if (srb.cdb[0] == kInquiryOpcode) {
        if (srb.header.hostAdapter >= g_layer.adapterCount) {
            srb.header.status = srbstatus::kInvalidHostAdapter;
            return;
        }
        if (srb.dataBuffer != nullptr)
            std::copy_n(slot->inquiry.begin(), std::min<std::size_t>(kInquiryAnswered, srb.dataLength),
                        srb.dataBuffer);
        srb.header.status = srbstatus::kComplete;
        return;
    }

    PassThroughKernel& kernel = ActiveKernel();
    if (slot->handle == -1) slot->handle = OpenDrive(kernel, OpticalDrivePath(slot->driveNumber));

    std::array<std::uint8_t, 255> sense{};
    PassThroughRequest request;
    request.cdb = srb.cdb;
    request.cdbLength = std::min<std::uint8_t>(srb.cdbLength, static_cast<std::uint8_t>(kCdbAreaLength));
    if ((srb.header.flags & srbflag::kDataIn) != 0)
        request.direction = DataDirection::In;
    else if ((srb.header.flags & srbflag::kDataOut) != 0)
        request.direction = DataDirection::Out;
    // Without a direction there is no data phase: SG_IO is told so, whatever the length says.
    if (request.direction != DataDirection::None) {
        request.data = srb.dataBuffer;
        request.dataLength = srb.dataLength;
    }
    request.sense = sense.data();
    request.senseLength = srb.senseLength;
    request.timeoutMs = kCommandTimeoutMs;

    const bool delivered = slot->handle != -1 && kernel.SendScsi(slot->handle, request);
    if (delivered && request.scsiStatus == targetstatus::kGood && request.hostStatus == 0 &&
        request.driverStatus == 0) {
        srb.header.status = srbstatus::kComplete;
    } else {
        // Only what the drive returned this time may be decoded as this command's sense.
        std::memset(srb.senseArea, 0, sizeof(srb.senseArea));
        if (delivered) {
            const std::size_t senseBytes = std::min(
                {std::size_t{request.senseWritten}, std::size_t{request.senseLength}, kSenseAreaLength});
            std::copy_n(sense.begin(), senseBytes, srb.senseArea);
            srb.targetStatus = request.scsiStatus;
            srb.hostStatus = HostAdapterStatusFor(request.hostStatus);
        } else {
            srb.targetStatus = targetstatus::kGood;
        }
        srb.header.status = srbstatus::kError;
    }

    if (!KeepDriveOpen && slot->handle != -1) {
        kernel.Close(slot->handle);
        slot->handle = -1;
    }
}

// The real kernel: sysfs and /dev for the drives, SG_IO for the commands.
class Linux final : public PassThroughKernel {
public:
    std::vector<int> OpticalDrives() override {
        std::vector<int> numbers = NodesIn("/sys/class/block");
        if (numbers.empty()) numbers = NodesIn("/dev");
        std::sort(numbers.begin(), numbers.end());
        numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
        return numbers;
    }

    int Open(const std::string& path, bool readWrite) override {
        // O_NONBLOCK: the open must succeed with an empty tray or a disc that is not
        // random-writable (cdrom_open checks the medium otherwise).
        const int mode = readWrite ? O_RDWR : O_RDONLY;
        int fd = -1;
        do fd = ::open(path.c_str(), mode | O_NONBLOCK | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        return fd;
    }

    bool SendScsi(int fd, PassThroughRequest& request) override {
        sg_io_hdr_t header{};
        header.interface_id = 'S';
        switch (request.direction) {
        case DataDirection::None: header.dxfer_direction = SG_DXFER_NONE; break;
        case DataDirection::In: header.dxfer_direction = SG_DXFER_FROM_DEV; break;
        case DataDirection::Out: header.dxfer_direction = SG_DXFER_TO_DEV; break;
        }
        header.cmd_len = request.cdbLength;
        header.mx_sb_len = request.sense != nullptr ? request.senseLength : 0;
        header.dxfer_len = request.direction == DataDirection::None ? 0 : request.dataLength;
        header.dxferp = request.direction == DataDirection::None ? nullptr : request.data;
        header.cmdp = const_cast<unsigned char*>(request.cdb); // SG_IO only reads the CDB
        header.sbp = request.sense;
        header.timeout = request.timeoutMs;
        if (::ioctl(fd, SG_IO, &header) < 0) return false;
        request.scsiStatus = header.status;
        request.hostStatus = header.host_status;
        request.driverStatus = header.driver_status;
        request.senseWritten = std::min(header.sb_len_wr, header.mx_sb_len);
        return true;
    }

    std::optional<ScsiAddress> Address(int fd) override {
        // SCSI_IOCTL_GET_IDLUN: dev_id = target | lun << 8 | channel << 16 | host << 24.
        struct {
            std::uint32_t devId;
            std::uint32_t hostUniqueId;
        } idlun{};
        if (::ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) == 0) {
            return ScsiAddress{.host = static_cast<std::uint8_t>(idlun.devId >> 24),
                               .channel = static_cast<std::uint8_t>(idlun.devId >> 16),
                               .target = static_cast<std::uint8_t>(idlun.devId),
                               .lun = static_cast<std::uint8_t>(idlun.devId >> 8)};
        }
        return SysfsAddress(fd);
    }

    void Close(int fd) override { ::close(fd); }

private:
    static std::optional<int> NodeNumber(std::string_view name) {
        constexpr std::string_view kPrefix = "sr";
        if (!name.starts_with(kPrefix) || name.size() == kPrefix.size()) return std::nullopt;
        int number = 0;
        const char* end = name.data() + name.size();
        const auto [ptr, ec] = std::from_chars(name.data() + kPrefix.size(), end, number);
        if (ec != std::errc{} || ptr != end) return std::nullopt;
        return number;
    }

    static std::vector<int> NodesIn(const std::filesystem::path& folder) {
        std::vector<int> numbers;
        std::error_code error;
        for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            if (const auto number = NodeNumber(it->path().filename().native())) numbers.push_back(*number);
        }
        return numbers;
    }

    // /sys/dev/block/MAJ:MIN/device links to the SCSI device folder named "H:C:T:L".
    static std::optional<ScsiAddress> SysfsAddress(int fd) {
        struct stat status {};
        if (::fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) return std::nullopt;
        const std::string link = "/sys/dev/block/" + std::to_string(major(status.st_rdev)) + ":" +
                                 std::to_string(minor(status.st_rdev)) + "/device";
        std::error_code error;
        const auto target = std::filesystem::read_symlink(link, error);
        if (error) return std::nullopt;
        const std::string name = target.filename().native();
        std::array<unsigned, 4> parts{};
        const char* at = name.data();
        const char* end = name.data() + name.size();
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const auto [ptr, ec] = std::from_chars(at, end, parts[i]);
            if (ec != std::errc{} || parts[i] > 255) return std::nullopt;
            const bool last = i + 1 == parts.size();
            if (last ? ptr != end : (ptr == end || *ptr != ':')) return std::nullopt;
            at = ptr + 1;
        }
        return ScsiAddress{.host = static_cast<std::uint8_t>(parts[0]),
                           .channel = static_cast<std::uint8_t>(parts[1]),
                           .target = static_cast<std::uint8_t>(parts[2]),
                           .lun = static_cast<std::uint8_t>(parts[3])};
    }
};

} // namespace

std::string OpticalDrivePath(int number) {
    return "/dev/sr" + std::to_string(number);
}

PassThroughKernel& LinuxKernel() {
    // Never destroyed: the layer closes its handles from a static destructor at process end.
    static Linux* const kernel = new Linux;
    return *kernel;
}

int OpenDrive(PassThroughKernel& kernel, const std::string& path) {
    const int fd = kernel.Open(path, true);
    return fd >= 0 ? fd : kernel.Open(path, false);
}

void SetPassThroughKernel(PassThroughKernel* kernel) {
    g_kernel = kernel;
}

PassThroughKernel& ActiveKernel() {
    PassThroughKernel* kernel = g_kernel;
    return kernel != nullptr ? *kernel : LinuxKernel();
}

std::uint8_t PassThroughScan() {
    if (g_layer.open) return 0;
    g_layer = LayerState{};
    PassThroughKernel& kernel = ActiveKernel();
    int found = 0;
    for (const int number : kernel.OpticalDrives()) {
        if (number < 0 || static_cast<std::size_t>(number) >= kSlotCount) continue;
        Probe(kernel, number);
        DriveSlot& slot = g_layer.slots[static_cast<std::size_t>(number)];
        // Adapter 255 cannot be counted in the adapter-count byte: such a drive stays out of the table.
        if (slot.present && !slot.unaddressed && slot.adapter == 255) slot = DriveSlot{};
        if (slot.present) ++found;
    }
    g_layer.adapterCount = CountAdapters();
    if (g_layer.unaddressed != 0) {
        // One virtual adapter after the real ones; the drives keep the targets 0, 1, 2... they were
        // given in scan order.
        const std::uint8_t virtualAdapter = g_layer.adapterCount;
        for (DriveSlot& slot : g_layer.slots) {
            if (!slot.present || !slot.unaddressed) continue;
            if (virtualAdapter == 255) { // no room for the virtual adapter in the count
                slot = DriveSlot{};
                --found;
                continue;
            }
            slot.adapter = virtualAdapter;
            slot.lun = 0;
        }
        g_layer.adapterCount = CountAdapters();
    }
    g_layer.open = true;
    return static_cast<std::uint8_t>(found);
}

void PassThroughClose() {
    PassThroughKernel& kernel = ActiveKernel();
    for (DriveSlot& slot : g_layer.slots)
        if (slot.handle != -1) kernel.Close(slot.handle);
    g_layer = LayerState{};
}

std::uint32_t PassThroughGetSupportInfo() {
    if (g_layer.adapterCount == 0) return std::uint32_t{srbstatus::kNoAdapters} << 8;
    return std::uint32_t{srbstatus::kComplete} << 8 | g_layer.adapterCount;
}

std::uint32_t PassThroughSendCommand(void* srb) {
    if (srb == nullptr) return srbstatus::kError;
    auto* header = static_cast<SrbHeader*>(srb);
    switch (header->command) {
    case srbcmd::kHostAdapterInquiry:
        AnswerHostAdapterInquiry(*static_cast<SrbHostAdapterInquiry*>(srb));
        break;
    case srbcmd::kGetDeviceType: AnswerGetDeviceType(*static_cast<SrbGetDeviceType*>(srb)); break;
    case srbcmd::kExecuteScsi: Execute(*static_cast<SrbExecuteScsi*>(srb)); break;
    case srbcmd::kGetDiskInfo: break; // not answered: the status stays 00h and the caller falls back
    default: header->status = srbstatus::kError; break;
    }
    return header->status;
}

} // namespace lorvane::transport
