#include "drive/scsi_device.h"

#include "drive/command_names.h"
#include "drive/erase_thread.h"
#include "drive/opcodes.h"
#include "transport/aspi.h"
#include "transport/byte_order.h"
#include "transport/event.h"
#include "transport/pass_through.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>

namespace lorvane::drive {

using namespace transport;

std::atomic<bool> QuirkPollReady{false};
std::atomic<bool> CloseImmediate{false};

namespace {

// One lock for every link between a device and its log sink and for every append through such a
// link: a sink can then be destroyed on one thread while a device logs on another.
std::recursive_mutex& LinkLock() {
    static std::recursive_mutex lock;
    return lock;
}

// Commands whose failure is expected while probing a drive or waiting for it: decoded, not logged.
constexpr std::uint8_t kUnloggedCommands[] = {
    op::kTestUnitReady,       op::kRewindUnit,           op::kInquiry,
    op::kStartStopUnit,       op::kPreventAllowRemoval,  op::kReadFormatCapacities,
    op::kSynchronizeCache,    op::kReadTocPmaAtip,       op::kGetConfiguration,
    op::kReadDiscInformation, op::kReadTrackInformation, op::kModeSelect10,
    op::kModeSense10,         op::kReadBufferCapacity,   op::kSetStreaming,
    op::kSetCdSpeed,
};

constexpr std::size_t kLoggedDataBytes = 257;
constexpr int kEventlessPollMs = 10;

// The status byte may be completed by the provider on another thread.
std::uint8_t LoadStatus(SrbExecuteScsi& srb) {
    return std::atomic_ref<std::uint8_t>(srb.header.status).load();
}

std::string Hex(unsigned value, int minDigits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", minDigits, value);
    return text;
}

// Leading and trailing blanks and control characters removed.
std::string Trim(std::string text) {
    const auto keep = [](char c) { return static_cast<unsigned char>(c) > ' '; };
    const auto first = std::find_if(text.begin(), text.end(), keep);
    const auto last = std::find_if(text.rbegin(), text.rend(), keep).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string Bytes(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A device string's address: three decimal numbers (0-255) separated by ":" before the first ",".
std::optional<std::array<std::uint8_t, 3>> ParseAddress(const std::string& deviceString) {
    const auto comma = deviceString.find(',');
    if (comma == std::string::npos) return std::nullopt;
    std::array<std::uint8_t, 3> address{};
    std::size_t part = 0;
    unsigned value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i <= comma; ++i) {
        const char c = deviceString[i];
        if (c == ':' || i == comma) {
            if (digits == 0 || part >= address.size()) return std::nullopt;
            address[part++] = static_cast<std::uint8_t>(value);
            value = 0;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            ++digits;
            if (value > 255) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (part != address.size()) return std::nullopt;
    return address;
}

// Where a mode page starts in a MODE SENSE (10) reply: after the 8-byte header, or after an 8-byte
// block descriptor as well; some drives place it one byte early. The whole byte is compared, so a
// page with its parameters-saveable bit set is not found.
std::optional<std::size_t> LocatePage(std::span<const std::uint8_t> reply, std::uint8_t page) {
    for (const std::size_t at : {std::size_t{16}, std::size_t{8}, std::size_t{7}})
        if (at < reply.size() && reply[at] == page) return at;
    return std::nullopt;
}

// Capabilities page (MMC mode page 2Ah) fields.
namespace capspage {
inline constexpr std::size_t kReadFlags = 2, kWriteFlags = 3, kMechanism = 4, kMaxReadSpeed = 8,
                             kBufferSize = 12, kCurrentReadSpeed = 14, kMaxWriteSpeed = 18,
                             kCurrentWriteSpeed = 20;
inline constexpr std::uint8_t kWritesDvdRam = 0x20;
inline constexpr std::uint8_t kPageCodeMask = 0x3F; // byte 0 without the parameters-saveable bit
inline constexpr std::uint8_t kUnderrunFree = 0x80; // byte 4 bit 7 (BUF)
inline constexpr std::uint16_t kDvdRamSpeedKBs = 177;
} // namespace capspage

// GET CONFIGURATION reply with one feature descriptor after the 8-byte header.
namespace config {
inline constexpr std::size_t kFirstFeature = 8, kFirstFlags = 12;
inline constexpr std::uint8_t kDvdPlusRwWrite = 0x01; // feature 002Ah byte 4 bit 0 (Write)
inline constexpr std::uint8_t kDvdRwWrite = 0x02;     // feature 002Fh byte 4 bit 1 (DVD-RW)
inline constexpr std::uint8_t kRtOne = 2;
inline constexpr std::uint8_t kReplyLength = 114;
} // namespace config

} // namespace

std::uint16_t SpeedX(std::uint32_t kBs) {
    return static_cast<std::uint16_t>(std::nearbyint(static_cast<double>(kBs) / 176.46));
}

// ---- log sink links ----

DebugTextSink::~DebugTextSink() {
    DetachFromDevices();
}

void DebugTextSink::DetachFromDevices() {
    std::scoped_lock lock(LinkLock());
    for (TSCSIDevice* device : m_devices) device->ForgetSink(this);
    m_devices.clear();
}

void DebugTextSink::Register(TSCSIDevice* device) {
    if (std::find(m_devices.begin(), m_devices.end(), device) == m_devices.end()) m_devices.push_back(device);
}

void DebugTextSink::Unregister(TSCSIDevice* device) {
    std::erase(m_devices, device);
}

void TSCSIDevice::ForgetSink(DebugTextSink* sink) {
    if (m_debugWindow == sink) m_debugWindow = nullptr;
}

void TSCSIDevice::SetDebugWindow(DebugTextSink* sink) {
    std::scoped_lock lock(LinkLock());
    if (m_debugWindow == sink) return;
    if (m_debugWindow) m_debugWindow->Unregister(this);
    m_debugWindow = sink;
    if (sink) sink->Register(this);
}

DebugTextSink* TSCSIDevice::DebugWindow() const {
    std::scoped_lock lock(LinkLock());
    return m_debugWindow;
}

// ---- construction ----

TSCSIDevice::TSCSIDevice(transport::Clock& clock) : m_clock(&clock) {
    if (transport::ASPIInitialized()) {
        HostAdapterInquiry(0);
        ScanDevices();
    }
}

TSCSIDevice::~TSCSIDevice() {
    // The erase thread works for this device: it must not outlive it.
    if (m_eraseThread) m_eraseThread->RequestStop();
    JoinEraseThread();
    std::scoped_lock lock(LinkLock());
    if (m_debugWindow) m_debugWindow->Unregister(this);
    m_debugWindow = nullptr;
}

bool TSCSIDevice::ASPIInitialized() {
    return transport::ASPIInitialized();
}

bool TSCSIDevice::InitTransport(bool useBuiltIn) {
    bool initialised = false;
    try {
        initialised = InitASPI(useBuiltIn);
    } catch (...) {
        initialised = false;
    }
    if (initialised) {
        HostAdapterInquiry(0);
        ScanDevices();
    }
    return initialised;
}

// ---- command execution ----

void TSCSIDevice::AddDebugMessage(const std::string& text, std::uint8_t mType) {
    {
        std::scoped_lock lock(LinkLock());
        if (m_debugWindow) m_debugWindow->AppendLine(text);
    }
    if (OnDebugMessage) OnDebugMessage(this, text, mType);
}

int TSCSIDevice::ExecuteCommand(SrbExecuteScsi& srb, int timeoutMs) {
    LastErrorText.clear();
    TargetBusy = false;
    LastFailureFromTarget = false;
    LastSense.fill(0);
    if (!transport::ASPIInitialized() || m_adapter == kNoDevice) return srbstatus::kNotInitialised;

    std::optional<CompletionEvent> event;
    if (srb.header.flags & srbflag::kEventNotify) {
        event.emplace();
        event->Reset();
        srb.eventHandle = event->Handle();
    } else {
        srb.eventHandle = 0;
    }
    srb.header.command = srbcmd::kExecuteScsi;
    srb.header.hostAdapter = m_adapter;
    srb.target = m_target;
    srb.lun = m_lun;
    srb.senseLength = kSenseLengthAsked;
    timeoutMs = std::max(timeoutMs, kMinimumTimeoutMs);
    srb.cdb[1] = static_cast<std::uint8_t>((srb.cdb[1] & 0x1F) | ((m_lun & 0x07) << 5));

    if (srb.cdb[0] == op::kNotSent)
        srb.header.status = srbstatus::kComplete;
    else
        SendASPI32Command(&srb);

    // Wait only while the provider has not finished; with an event the provider signals it after
    // setting the status, without one (the event could not be made) the status is polled.
    if (event && LoadStatus(srb) == srbstatus::kPending) {
        const auto deadline = m_clock->Now() + std::chrono::milliseconds(timeoutMs);
        while (LoadStatus(srb) == srbstatus::kPending) {
            const auto now = m_clock->Now();
            if (now >= deadline) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            if (event->Valid()) {
                if (!m_clock->WaitForEvent(event->Descriptor(), left)) break;
                if (LoadStatus(srb) == srbstatus::kPending) event->Reset(); // signalled too early
            } else {
                m_clock->SleepFor(std::min(left, std::chrono::milliseconds(kEventlessPollMs)));
            }
        }
    }

    if (LoadStatus(srb) == srbstatus::kPending) {
        // Abort while the event still exists, so a late completion never signals a closed (and
        // possibly reused) descriptor.
        AbortCommand(srb);
        srb.header.status = srbstatus::kError;
        srb.hostStatus = hoststatus::kCommandTimeout;
    }
    srb.eventHandle = 0;
    event.reset();

    const std::uint8_t status = srb.header.status;
    if (status != srbstatus::kPending && status != srbstatus::kComplete) {
        const DecodedFailure failure = DecodeFailure(status, srb.hostStatus, srb.targetStatus, srb.senseArea);
        LastErrorText = failure.text;
        TargetBusy = failure.targetBusy;
        LastFailureFromTarget = srb.hostStatus == 0 && srb.targetStatus != 0;
        std::copy(std::begin(srb.senseArea), std::end(srb.senseArea), LastSense.begin());
        LogFailure(srb);
    }
    return 1;
}

std::uint8_t TSCSIDevice::Run(std::span<const std::uint8_t> cdb, std::uint8_t flags, std::uint8_t* data,
                              std::uint32_t length, int timeoutMs) {
    assert(cdb.size() <= kCdbAreaLength);
    SrbExecuteScsi srb{};
    srb.header.flags = flags;
    srb.dataLength = data == nullptr ? 0 : length;
    srb.dataBuffer = srb.dataLength == 0 ? nullptr : data;
    srb.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.cdb);
    ExecuteCommand(srb, timeoutMs);
    return srb.header.status;
}

void TSCSIDevice::LogFailure(const SrbExecuteScsi& srb) {
    const std::uint8_t code = srb.cdb[0];
    if (std::find(std::begin(kUnloggedCommands), std::end(kUnloggedCommands), code) !=
        std::end(kUnloggedCommands))
        return;
    // MMC: 2/04/08 only says the drive is still busy writing; the writer retries it.
    if (srb.senseArea[senseat::kAsc] == 0x04 && srb.senseArea[senseat::kAscq] == 0x08) return;

    std::string line = "<<< ";
    line += CommandNames()[code] + " ";
    line += "(" + Hex(code, 2) + ") {" + Hex(srb.header.flags, 2) + "|" + Hex(srb.cdbLength, 2) + "} - ";
    line += std::to_string(srb.header.hostAdapter) + ":" + Hex(srb.target, 1) + ":" + std::to_string(srb.lun);
    line += " <" + Hex(srb.header.status, 2) + ">" + " [" + Hex(srb.dataLength, 4) + "]" + " ";
    for (std::size_t i = 1; i < kCdbAreaLength; ++i) line += Hex(srb.cdb[i], 2) + " ";
    line += " | ";
    if (srb.dataLength != 0 && srb.dataBuffer != nullptr) {
        const std::size_t shown = std::min<std::size_t>(srb.dataLength, kLoggedDataBytes);
        for (std::size_t i = 0; i < shown; ++i) line += Hex(srb.dataBuffer[i], 2) + " ";
    }
    line += "= " + Hex(srb.hostStatus, 2) + " " + Hex(srb.targetStatus, 2) + " " +
            Hex(srb.senseArea[senseat::kResponseCode], 2) + " " + Hex(srb.senseArea[senseat::kKey], 2) + " " +
            "ASC:" + Hex(srb.senseArea[senseat::kAsc], 2) + ",ASQ:" + Hex(srb.senseArea[senseat::kAscq], 2) +
            " " + LastErrorText;
    AddDebugMessage(line, 0);
}

bool TSCSIDevice::AbortCommand(SrbExecuteScsi& srb) {
    SrbAbort abort{};
    abort.header.command = srbcmd::kAbort;
    abort.header.hostAdapter = m_adapter;
    abort.srbToAbort = &srb;
    SendASPI32Command(&abort);
    return abort.header.status == srbstatus::kComplete;
}

// ---- discovery and identity ----

int TSCSIDevice::InquireAdapter(std::uint8_t adapter) {
    m_adapterInquiry = SrbHostAdapterInquiry{};
    m_adapterInquiry.header.command = srbcmd::kHostAdapterInquiry;
    m_adapterInquiry.header.hostAdapter = adapter;
    SendASPI32Command(&m_adapterInquiry);
    return m_adapterInquiry.header.status == srbstatus::kComplete ? m_adapterInquiry.adapterCount : -1;
}

int TSCSIDevice::HostAdapterInquiry(std::uint8_t adapter) {
    const int count = InquireAdapter(adapter);
    // Some managers answer 0 adapters although they serve one: scan the usual seven then.
    m_adapterCount = count == 0 ? 7 : count;
    return count;
}

std::string TSCSIDevice::DeviceStringForCurrent() {
    const std::string node = GetDriveLetter();
    std::string text = std::to_string(m_adapter) + ":" + std::to_string(m_target) + ":" +
                       std::to_string(m_lun) + "," + (node.empty() ? std::string("?:") : node) + " " +
                       Bytes(std::span(InquiryData).subspan(8, 28));
    if (InquiryData[0] == 4) text += " (not supported)";
    return text;
}

void TSCSIDevice::ScanDevices() {
    DeviceList.clear();
    const std::uint8_t savedAdapter = m_adapter, savedTarget = m_target, savedLun = m_lun;
    if (DoDebug) AddDebugMessage(">>> " + ASPILayerName(), 1);
    // The count of the adapter-0 inquiry bounds the scan; the inquiries of the other adapters only
    // describe them, so that a later rescan still sees the same count.
    const int adapterCount = m_adapterCount;
    for (int adapter = 0; adapter < adapterCount && adapter < kNoDevice; ++adapter) {
        InquireAdapter(static_cast<std::uint8_t>(adapter));
        if (DoDebug)
            AddDebugMessage(
                ">>> " + std::string(m_adapterInquiry.managerId, sizeof m_adapterInquiry.managerId) + " (" +
                    Trim(std::string(m_adapterInquiry.adapterId, sizeof m_adapterInquiry.adapterId)) + ")",
                1);
        for (std::uint8_t target = 0; target < 8; ++target) {
            for (std::uint8_t lun = 0; lun < 8; ++lun) {
                m_adapter = static_cast<std::uint8_t>(adapter);
                m_target = target;
                m_lun = lun;
                InquiryData.fill(0);
                if (Inquiry() && (InquiryData[0] == 5 || InquiryData[0] == 4))
                    DeviceList.push_back(DeviceStringForCurrent());
            }
        }
    }
    m_adapter = savedAdapter;
    m_target = savedTarget;
    m_lun = savedLun;
    LastErrorText.clear();
}

bool TSCSIDevice::Inquiry() {
    constexpr std::uint8_t kAllocation = 128;
    InquiryData.fill(0);
    SrbExecuteScsi srb{};
    srb.header.flags = srbflag::kRead;
    srb.dataLength = kAllocation;
    srb.dataBuffer = InquiryData.data();
    srb.cdbLength = 6;
    ByteWriter cdb(srb.cdb);
    cdb.PutU8(0, op::kInquiry);
    cdb.PutU8(4, kAllocation);
    ExecuteCommand(srb, 10000);
    return srb.header.status == srbstatus::kComplete;
}

void TSCSIDevice::IdentifyDevice() {
    (void)ReadCapabilities();
    if (Inquiry()) {
        DeviceType = InquiryData[0];
        std::string identity = Bytes(std::span(InquiryData).subspan(8, 28));
        for (char& c : identity)
            if (static_cast<unsigned char>(c) < 32) c = ' ';
        DeviceIdentity = identity.substr(0, 8) + " " + identity.substr(8, 16) + " " + identity.substr(24, 4);
    } else {
        DeviceIdentity = LastErrorText;
        // Without an answer the device is not a CD/DVD drive, whatever was selected before.
        DeviceType = kNoDeviceType;
    }
}

void TSCSIDevice::Deselect() {
    m_adapter = m_target = m_lun = kNoDevice;
    DeviceString.clear();
    DeviceIdentity.clear();
    DeviceType = kNoDeviceType;
}

void TSCSIDevice::SetModelFlags() {
    const std::string product = Trim(Bytes(std::span(InquiryData).subspan(16, 16)));
    std::string vendor = Trim(Bytes(std::span(InquiryData).subspan(8, 8)));
    const std::string rawProduct = Bytes(std::span(InquiryData).subspan(16, 16));
    if (vendor.size() < 3) vendor += "     ";

    QuirkUnderrun = product == "CD-W512EB";
    QuirkLinkSize = product == "CRX175E" || product == "CD-RW  CRX800E";
    QuirkPollReady = product.starts_with("UJDA") || vendor.starts_with("TDK");
    CloseImmediate = product != "CDRW321040X";
    QuirkNoFinalize = product == "CD-RW  CRX100E";
    QuirkSlowLeadOut = rawProduct == "DVD-RW  DVR-103 " || rawProduct == "DVD-RW  DVR-104 ";

    // The capabilities were read before the model was known: the underrun flag follows the model now.
    if (m_underrunFromPages || QuirkUnderrun)
        Capabilities |= cap::kUnderrunProtection;
    else
        Capabilities &= ~cap::kUnderrunProtection;
}

void TSCSIDevice::SetDevice(const std::string& deviceString) {
    if (deviceString.size() <= 4) {
        if (!deviceString.empty()) AddDebugMessage(kInvalidDeviceMessage, 0);
        Deselect();
        return;
    }
    try {
        const auto address = ParseAddress(deviceString);
        if (address) {
            m_adapter = (*address)[0];
            m_target = (*address)[1];
            m_lun = (*address)[2];
            DeviceString = deviceString;
            IdentifyDevice();
            if (DeviceType == 5 || DeviceType == 4) {
                SetModelFlags();
                if (OnDeviceChange) OnDeviceChange(this);
                return;
            }
        }
    } catch (...) {}
    AddDebugMessage(kInvalidDeviceMessage, 0);
    Deselect();
}

std::string TSCSIDevice::GetDriveLetter() {
    // Only the pass-through layer's addresses are the kernel's; a manager module numbers its own.
    if (ASPILayerName() == kBuiltInLayerName) {
        PassThroughKernel& kernel = ActiveKernel();
        for (const int number : kernel.OpticalDrives()) {
            const std::string path = OpticalDrivePath(number);
            const int fd = OpenDrive(kernel, path);
            if (fd < 0) continue;
            const auto address = kernel.Address(fd);
            kernel.Close(fd);
            if (address && address->host == m_adapter && address->target == m_target) return path;
        }
    }
    const std::uint8_t drive = GetDiskInfo(m_adapter, m_target, m_lun);
    if (drive != kNoDriveNumber) return OpticalDrivePath(drive);
    return "";
}

std::uint8_t TSCSIDevice::GetDiskInfo(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
    SrbGetDiskInfo srb{};
    srb.header.command = srbcmd::kGetDiskInfo;
    srb.header.hostAdapter = adapter;
    srb.target = target;
    srb.lun = lun;
    SendASPI32Command(&srb);
    return srb.header.status == srbstatus::kComplete ? srb.driveNumber : kNoDriveNumber;
}

// ---- capabilities and speeds ----

bool TSCSIDevice::ModeSense(std::uint8_t page, std::span<std::uint8_t> buffer, bool defaultValues,
                            std::uint16_t allocLength, std::size_t clearLength) {
    std::fill_n(buffer.begin(), std::min(clearLength + 1, buffer.size()), std::uint8_t{0});
    std::vector<std::uint8_t> reply(allocLength);
    SrbExecuteScsi srb{};
    srb.header.flags = srbflag::kRead;
    srb.dataLength = allocLength;
    srb.dataBuffer = reply.empty() ? nullptr : reply.data();
    srb.cdbLength = 10;
    ByteWriter cdb(srb.cdb);
    cdb.PutU8(0, op::kModeSense10);
    cdb.PutU8(2, static_cast<std::uint8_t>(page | (defaultValues ? modepage::kDefaultValues : 0)));
    cdb.PutBe16(7, allocLength);
    ExecuteCommand(srb, 20000);
    if (srb.header.status != srbstatus::kComplete) return false;
    std::copy_n(reply.begin(), std::min(reply.size(), buffer.size()), buffer.begin());
    return true;
}

bool TSCSIDevice::GetConfiguration(std::uint8_t rt, std::uint8_t startFeature, std::uint8_t length,
                                   std::span<std::uint8_t> buffer) {
    // Never ask for more than the caller's buffer holds.
    const auto asked = static_cast<std::uint8_t>(std::min<std::size_t>(length, buffer.size()));
    SrbExecuteScsi srb{};
    srb.header.flags = srbflag::kRead;
    srb.dataLength = asked;
    srb.dataBuffer = asked == 0 ? nullptr : buffer.data();
    srb.cdbLength = 10;
    ByteWriter cdb(srb.cdb);
    cdb.PutU8(0, op::kGetConfiguration);
    cdb.PutU8(1, rt);
    cdb.PutU8(3, startFeature);
    cdb.PutU8(8, asked);
    ExecuteCommand(srb, 30000);
    return srb.header.status == srbstatus::kComplete;
}

bool TSCSIDevice::ReadCapabilities() {
    using namespace capspage;
    Capabilities = 0;
    DeviceMaxWriteSpeed = 0;
    DeviceMaxReadSpeed = 0;
    m_capsPage = CapabilitiesPage{};
    m_underrunFromPages = false;

    constexpr std::uint16_t kAllocation = 128;
    std::array<std::uint8_t, 255> reply{};
    std::size_t pageAt = 15;
    const auto copyPage = [&] {
        std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(pageAt), CapabilitiesPage::kLength,
                    m_capsPage.raw.begin());
    };

    // The flags come from the default values, which tell what the drive can do whatever the medium.
    const bool defaults = ModeSense(modepage::kCapabilities, reply, true, kAllocation, reply.size() - 1);
    if (defaults) {
        pageAt = LocatePage(reply, modepage::kCapabilities).value_or(8);
        copyPage();
        FlagsFromCapabilitiesPage();
        FlagsFromFeatures();
    }

    reply.fill(0);
    if (!ModeSense(modepage::kCapabilities, reply, false, kAllocation, reply.size() - 1)) {
        // Neither page: what the features tell is all there is.
        if (!defaults) FlagsFromFeatures();
        return false;
    }
    if (const auto at = LocatePage(reply, modepage::kCapabilities)) pageAt = *at;
    copyPage();
    // Some drives (ATAPI ones among them) refuse the default values but report the same flags in the
    // current values; without them every capability would read as absent.
    if (!defaults) {
        if ((m_capsPage.raw[0] & kPageCodeMask) == modepage::kCapabilities) FlagsFromCapabilitiesPage();
        FlagsFromFeatures();
    }

    const ByteReader page(m_capsPage.raw);
    // A DVD-RAM writer that reports no write speed writes at 1x. A multi-format writer that also writes
    // DVD-RAM reports its real speeds, and those stand: forcing 1x on it would make every speed query
    // answer 1x and the speed list shrink to one row.
    m_capsPage.maxWriteKBs = page.GetBe16(kMaxWriteSpeed);
    m_capsPage.currentWriteKBs = page.GetBe16(kCurrentWriteSpeed);
    if (page.GetU8(kWriteFlags) & kWritesDvdRam) {
        if (m_capsPage.maxWriteKBs == 0) m_capsPage.maxWriteKBs = kDvdRamSpeedKBs;
        if (m_capsPage.currentWriteKBs == 0) m_capsPage.currentWriteKBs = kDvdRamSpeedKBs;
    }
    m_capsPage.maxReadKBs = page.GetBe16(kMaxReadSpeed);
    m_capsPage.currentReadKBs = page.GetBe16(kCurrentReadSpeed);
    m_capsPage.bufferSizeKB = page.GetBe16(kBufferSize);

    // Each maximum is the larger of the default-values and the current-values figure.
    DeviceMaxWriteSpeed = std::max(DeviceMaxWriteSpeed, SpeedX(m_capsPage.maxWriteKBs));
    DeviceMaxReadSpeed = std::max(DeviceMaxReadSpeed, SpeedX(m_capsPage.maxReadKBs));
    return true;
}

void TSCSIDevice::FlagsFromCapabilitiesPage() {
    using namespace capspage;
    constexpr std::uint16_t kAllocation = 128;
    const ByteReader page(m_capsPage.raw);
    const std::uint8_t readFlags = page.GetU8(kReadFlags), writeFlags = page.GetU8(kWriteFlags);
    constexpr struct {
        std::uint8_t bit;
        std::uint32_t flags;
    } kReadBits[] = {{0x01, cap::kReadCdR},
                     {0x02, cap::kReadCdRw},
                     {0x04, cap::kReadMethod2},
                     {0x08, cap::kReadDvdRom},
                     {0x10, cap::kReadDvdR | cap::kReadDvdRw},
                     {0x20, cap::kReadDvdRam}},
      kWriteBits[] = {{0x01, cap::kWriteCdR},
                      {0x02, cap::kWriteCdRw},
                      {0x04, cap::kTestWrite},
                      {0x10, cap::kWriteDvdR | cap::kWriteDvdRw},
                      {0x20, cap::kWriteDvdRam}};
    for (const auto& [bit, flags] : kReadBits)
        if (readFlags & bit) Capabilities |= flags;
    for (const auto& [bit, flags] : kWriteBits)
        if (writeFlags & bit) Capabilities |= flags;
    if (page.GetU8(kMechanism) & kUnderrunFree) m_underrunFromPages = true;

    std::array<std::uint8_t, 255> vendor{};
    if (ModeSense(modepage::kVendorUnderrun, vendor, false, kAllocation, vendor.size() - 1) &&
        LocatePage(vendor, modepage::kVendorUnderrun))
        m_underrunFromPages = true;
    if (m_underrunFromPages || QuirkUnderrun) Capabilities |= cap::kUnderrunProtection;

    const bool dvdRam = (writeFlags & kWritesDvdRam) != 0;
    const std::uint16_t maxWrite = page.GetBe16(kMaxWriteSpeed), maxRead = page.GetBe16(kMaxReadSpeed);
    DeviceMaxWriteSpeed = maxWrite != 0 ? SpeedX(maxWrite) : (dvdRam ? 1 : 0);
    DeviceMaxReadSpeed = maxRead != 0 ? SpeedX(maxRead) : (dvdRam ? 1 : 0);
}

void TSCSIDevice::FlagsFromFeatures() {
    std::array<std::uint8_t, config::kReplyLength> features{};
    if (GetConfiguration(config::kRtOne, static_cast<std::uint8_t>(feature::kDvdPlusRw), config::kReplyLength,
                         features)) {
        const ByteReader reader(features);
        if (reader.GetBe16(config::kFirstFeature) == feature::kDvdPlusRw) {
            Capabilities |= cap::kReadDvdPlusR | cap::kReadDvdPlusRw;
            if (reader.GetU8(config::kFirstFlags) & config::kDvdPlusRwWrite)
                Capabilities |= cap::kWriteDvdPlusR | cap::kWriteDvdPlusRw;
        }
    }
    features.fill(0);
    if (GetConfiguration(config::kRtOne, static_cast<std::uint8_t>(feature::kDvdMinusRWrite),
                         config::kReplyLength, features)) {
        const ByteReader reader(features);
        if (reader.GetBe16(config::kFirstFeature) == feature::kDvdMinusRWrite) {
            // The feature itself is "DVD-R/-RW Write": a drive that lists it writes DVD-R. Its
            // first flag byte is a bit set (40h BUF, 04h test write, 02h DVD-RW), not a count.
            Capabilities |= cap::kReadDvdR | cap::kReadDvdRw | cap::kWriteDvdR;
            if (reader.GetU8(config::kFirstFlags) & config::kDvdRwWrite) Capabilities |= cap::kWriteDvdRw;
        }
    }
}

std::uint16_t TSCSIDevice::MaxWriteSpeedX() {
    return ReadCapabilities() ? SpeedX(m_capsPage.maxWriteKBs) : 0;
}

std::uint16_t TSCSIDevice::MaxReadSpeedX() {
    return ReadCapabilities() ? SpeedX(m_capsPage.maxReadKBs) : 0;
}

std::uint16_t TSCSIDevice::CurrentWriteSpeedX() {
    return ReadCapabilities() ? SpeedX(m_capsPage.currentWriteKBs) : 0;
}

std::uint16_t TSCSIDevice::CurrentWriteSpeedKBs() {
    return ReadCapabilities() ? m_capsPage.currentWriteKBs : 0;
}

} // namespace lorvane::drive
