#pragma once
// TSCSIDevice: the drive-control component. It finds the CD/DVD drives the transport reaches, selects
// one, sends every MMC command through ExecuteCommand and keeps the diagnostic log.

#include "drive/sense.h"
#include "transport/clock.h"
#include "transport/srb.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace lorvane::drive {

class TSCSIDevice;

// A text control that receives the component's log lines. When a sink is destroyed, every device
// that points at it forgets it, so no device ever writes to a dead sink.
class DebugTextSink {
public:
    DebugTextSink() = default;
    DebugTextSink(const DebugTextSink&) = delete;
    DebugTextSink& operator=(const DebugTextSink&) = delete;
    virtual ~DebugTextSink();

    // Called with the log link lock held (a recursive lock shared by every device and sink).
    virtual void AppendLine(const std::string& line) = 0;

protected:
    // Detaches from every device. A derived sink calls it first thing in its own destructor, so that a
    // line sent from another thread cannot reach a half-destroyed object; the base destructor repeats it.
    void DetachFromDevices();

private:
    friend class TSCSIDevice;
    void Register(TSCSIDevice* device);
    void Unregister(TSCSIDevice* device);

    std::vector<TSCSIDevice*> m_devices; // guarded by the log link lock
};

// Model flags held once for the whole process: written by SetDevice, read by the erase and writer
// threads.
extern std::atomic<bool> QuirkPollReady;
extern std::atomic<bool> CloseImmediate;

inline constexpr std::uint8_t kNoDevice = 254;      // current adapter/target/LUN when none is selected
inline constexpr std::uint8_t kNoDeviceType = 127;  // DeviceType when none is selected
inline constexpr std::uint8_t kNoDriveNumber = 128; // GetDiskInfo without an answer
inline constexpr int kMinimumTimeoutMs = 10000;     // no command waits less than this

inline constexpr const char* kInvalidDeviceMessage = "INVALID DEVICE ID / NOT A CD OR DVD DRIVE";

// Capabilities flags, rebuilt by ReadCapabilities.
namespace cap {
inline constexpr std::uint32_t kReadCdR = 0x1;
inline constexpr std::uint32_t kReadCdRw = 0x2;
inline constexpr std::uint32_t kReadMethod2 = 0x4;
inline constexpr std::uint32_t kReadDvdRom = 0x8;
inline constexpr std::uint32_t kReadDvdR = 0x10;
inline constexpr std::uint32_t kReadDvdRw = 0x20;
inline constexpr std::uint32_t kReadDvdRam = 0x40;
inline constexpr std::uint32_t kReadDvdPlusR = 0x80;
inline constexpr std::uint32_t kReadDvdPlusRw = 0x100;
inline constexpr std::uint32_t kWriteCdR = 0x200;
inline constexpr std::uint32_t kWriteCdRw = 0x400;
inline constexpr std::uint32_t kTestWrite = 0x800;
inline constexpr std::uint32_t kWriteDvdR = 0x1000;
inline constexpr std::uint32_t kWriteDvdRw = 0x2000;
inline constexpr std::uint32_t kWriteDvdRam = 0x4000;
inline constexpr std::uint32_t kWriteDvdPlusR = 0x8000;
inline constexpr std::uint32_t kWriteDvdPlusRw = 0x10000;
inline constexpr std::uint32_t kUnderrunProtection = 0x40000;
} // namespace cap

// The capabilities page (MMC mode page 2Ah) as last read: the first 22 raw bytes, and the speed and
// buffer fields in host order.
struct CapabilitiesPage {
    static constexpr std::size_t kLength = 22;
    std::array<std::uint8_t, kLength> raw{};
    std::uint16_t maxReadKBs = 0;
    std::uint16_t bufferSizeKB = 0;
    std::uint16_t currentReadKBs = 0;
    std::uint16_t maxWriteKBs = 0;
    std::uint16_t currentWriteKBs = 0;
};

// x = kB/s / 176.46, rounded to the nearest integer, halves to even.
std::uint16_t SpeedX(std::uint32_t kBs);

class TSCSIDevice {
public:
    using TOnDebugMsg =
        std::function<void(TSCSIDevice* sender, const std::string& message, std::uint8_t mType)>;
    using TDeviceChangedEvent = std::function<void(TSCSIDevice* sender)>;

    // When the transport is already initialised, inquires adapter 0 and scans the devices.
    explicit TSCSIDevice(transport::Clock& clock = transport::SystemClock());
    virtual ~TSCSIDevice();
    TSCSIDevice(const TSCSIDevice&) = delete;
    TSCSIDevice& operator=(const TSCSIDevice&) = delete;

    // Every wait of this device goes through this clock.
    void SetClock(transport::Clock& clock) { m_clock = &clock; }
    transport::Clock& DeviceClock() const { return *m_clock; }

    // Log sink (the published DebugWindow); nullptr for none.
    void SetDebugWindow(DebugTextSink* sink);
    DebugTextSink* DebugWindow() const;

    // Transport.
    [[nodiscard]] bool InitTransport(bool useBuiltIn); // InitASPI, then the adapter inquiry and the scan
    static bool ASPIInitialized();

    // Command execution. Returns 1 when the SRB went to the transport (or needed not to), E2h when
    // nothing was sent; callers judge the command by the SRB status (01h = success).
    int ExecuteCommand(transport::SrbExecuteScsi& srb, int timeoutMs);
    bool AbortCommand(transport::SrbExecuteScsi& srb);
    void AddDebugMessage(const std::string& text, std::uint8_t mType);

    // Discovery and identity.
    int HostAdapterInquiry(std::uint8_t adapter); // adapter count of the answer, -1 on failure
    void ScanDevices();
    void SetDevice(const std::string& deviceString);
    void IdentifyDevice();
    [[nodiscard]] bool Inquiry();
    std::string GetDriveLetter(); // the device node ("/dev/sr0"), empty when unknown
    std::uint8_t GetDiskInfo(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun);

    // Capabilities and speeds.
    [[nodiscard]] bool ModeSense(std::uint8_t page, std::span<std::uint8_t> buffer, bool defaultValues,
                                 std::uint16_t allocLength, std::size_t clearLength);
    [[nodiscard]] bool GetConfiguration(std::uint8_t rt, std::uint8_t startFeature, std::uint8_t length,
                                        std::span<std::uint8_t> buffer);
    [[nodiscard]] bool ReadCapabilities();
    std::uint16_t MaxWriteSpeedX();
    std::uint16_t MaxReadSpeedX();
    std::uint16_t CurrentWriteSpeedX();

    // The current device's address; kNoDevice when none is selected.
    std::uint8_t Adapter() const { return m_adapter; }
    std::uint8_t Target() const { return m_target; }
    std::uint8_t Lun() const { return m_lun; }
    int AdapterCount() const { return m_adapterCount; }
    const CapabilitiesPage& CapabilitiesPageCopy() const { return m_capsPage; }
    const transport::SrbHostAdapterInquiry& LastAdapterInquiry() const { return m_adapterInquiry; }

    // Published and public fields.
    std::string LastErrorText;
    SenseArea LastSense{};
    bool TargetBusy = false;
    std::vector<std::string> DeviceList;
    std::string DeviceString;
    std::uint8_t DeviceType = kNoDeviceType;
    std::string DeviceIdentity;
    std::array<std::uint8_t, 131> InquiryData{}; // 128 bytes asked for, 131 cleared
    bool DoDebug = false;
    std::uint32_t Capabilities = 0;
    std::uint16_t DeviceMaxWriteSpeed = 0;
    std::uint16_t DeviceMaxReadSpeed = 0;
    bool UnderrunProtection = false;
    bool TestWrite = false;
    bool FinalizeDisc = false;
    std::atomic<std::uint32_t> DeviceBufferSize{0};     // written by the writer, shown by the window
    std::atomic<std::uint32_t> DeviceFreeBufferSize{0}; // written by the writer, shown by the window
    std::uint16_t ReadSpeed = 0;
    std::uint16_t WriteSpeed = 0;
    bool QuirkSlowLeadOut = false;
    bool QuirkNoFinalize = false;
    bool QuirkUnderrun = false;
    bool QuirkLinkSize = false;

    TOnDebugMsg OnDebugMessage;
    TDeviceChangedEvent OnDeviceChange;

private:
    friend class DebugTextSink;
    void ForgetSink(DebugTextSink* sink);
    void Deselect();
    void SetModelFlags();
    int InquireAdapter(std::uint8_t adapter);
    void LogFailure(const transport::SrbExecuteScsi& srb);
    std::string DeviceStringForCurrent();

    transport::Clock* m_clock;
    std::uint8_t m_adapter = kNoDevice;
    std::uint8_t m_target = kNoDevice;
    std::uint8_t m_lun = kNoDevice;
    int m_adapterCount = -1;
    CapabilitiesPage m_capsPage;
    transport::SrbHostAdapterInquiry m_adapterInquiry{};
    bool m_underrunFromPages = false; // the drive's own pages announce underrun protection

    DebugTextSink* m_debugWindow = nullptr; // guarded by the log link lock
};

} // namespace lorvane::drive
