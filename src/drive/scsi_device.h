#pragma once
// TSCSIDevice: the drive-control component. It finds the CD/DVD drives the transport reaches, selects
// one, sends every MMC command through ExecuteCommand and keeps the diagnostic log.

#include "drive/disc_info.h"
#include "drive/sense.h"
#include "transport/clock.h"
#include "transport/srb.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lorvane::drive {

class TSCSIDevice;
class TEraseThread;

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
// A read or an erase start the drive answers with busy or not ready is sent again every half second
// for up to a minute: a drive settles a newly loaded disc or drains a write in that time.
inline constexpr int kTransientRetryMs = 500;
inline constexpr int kTransientWaitMs = 60000;

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

// The speed sent to the drive for x: x * 177 kB/s, FFFFh (the drive's maximum) for 0; nullopt when
// the product does not fit SET CD SPEED's 16-bit field.
std::optional<std::uint16_t> SpeedKBs(std::uint16_t x);

// The DVD recording time stamp: the date-time (days since 1899-12-30, local time) as the 14
// characters "yyyymmddhhnnss".
std::string DvdTimestampText(double when);

// The write parameters page (MMC mode page 05h) as this system sends it: page code, page length and
// 50 parameter bytes, plus the two bytes after it as the drive reported them.
inline constexpr std::size_t kWriteParametersCopyLength = 54;
inline constexpr std::size_t kWriteParametersListLength = 60; // 8-byte header + 52 page bytes

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
    // The write speed the drive reports using now, in kB/s (0 when the page cannot be read).
    std::uint16_t CurrentWriteSpeedKBs();
    // SET CD SPEED with x * 177 kB/s (0 = maximum, FFFFh). A speed whose kB/s do not fit 16 bits
    // is a range error: nothing is sent and the result is false.
    [[nodiscard]] bool SetSpeeds(std::uint16_t readX, std::uint16_t writeX);
    // The write speed to use: sends SetSpeeds (ReadSpeed, x), then stores x whatever the drive said.
    void SetWriteSpeed(std::uint16_t x);
    std::uint16_t WriteSpeed() const { return m_writeSpeed; }
    // SET STREAMING with the caller's performance descriptor (MMC; 28 bytes from the writers).
    [[nodiscard]] bool SetStreaming(std::span<const std::uint8_t> descriptor);
    // READ BUFFER CAPACITY into DeviceBufferSize / DeviceFreeBufferSize; on failure the free size is 0.
    [[nodiscard]] bool ReadBufferCapacity();

    // Disc and track information.
    [[nodiscard]] bool ReadDiscInformation(std::span<std::uint8_t> buffer, std::uint8_t length);
    [[nodiscard]] bool ReadDiscInformation(); // 56 bytes into DiscInformation()
    const std::array<std::uint8_t, kDiscInformationLength>& DiscInformation() const { return m_discInfo; }
    // Into TrackInfo(), which is cleared first. Track kInvisibleTrack addresses the incomplete track.
    [[nodiscard]] bool ReadTrackInformation(std::uint8_t track);
    const TrackInformation& TrackInfo() const { return m_trackInfo; }
    [[nodiscard]] bool ReadTOC(std::uint8_t format, std::span<std::uint8_t> buffer, std::uint8_t length,
                               std::uint8_t trackOrSession, bool msf, std::uint8_t control);
    // The outputs are written only on success.
    [[nodiscard]] bool ReadCapacity(std::uint32_t& lastLba, std::uint32_t& blockLength);
    [[nodiscard]] bool ReadFormatCapacities(std::uint32_t& blocks);
    // READ (10) of count sectors; never transfers more than the buffer holds.
    [[nodiscard]] bool ReadSectors(std::uint32_t lba, std::uint16_t count, std::span<std::uint8_t> buffer);
    std::uint8_t GetLastSession(); // last complete session number, 0 when unknown
    std::uint8_t GetMediumType();  // medium index (never 8)
    bool IsDiscErasable();
    TDisc GetDiscInfo();
    std::uint32_t GetNextWritableAddress();
    std::uint32_t GetFreeBlocks();
    std::uint32_t GetDiscCapacity(); // FFFFFFFFh never comes back: the last fallback always answers
    const std::array<std::uint8_t, kAtipLength>& Atip() const { return m_atip; }
    const std::array<std::uint8_t, kConfigurationLength>& ConfigurationReply() const {
        return m_configuration;
    }

    // Unit control.
    [[nodiscard]] bool TestUnitReady(int timeoutMs = 5000);
    [[nodiscard]] bool RezeroUnit();
    [[nodiscard]] bool RequestSense(std::span<std::uint8_t> buffer, std::uint8_t length);
    [[nodiscard]] bool LoadMedium(bool eject); // START STOP UNIT: eject, or load and start
    [[nodiscard]] bool PreventMediumRemoval(bool allow);
    // Waits until the drive is ready; false once the time budget is spent.
    [[nodiscard]] bool WaitUnitReady(int totalMs, int stepMs);
    const std::array<std::uint8_t, kRequestSenseLength>& RequestSenseBuffer() const { return m_requestSense; }

    // Recording commands.
    [[nodiscard]] bool ModeSelect(std::span<const std::uint8_t> data); // at most 255 bytes
    [[nodiscard]] bool SetWriteParameters(bool testWrite, bool underrun, std::uint8_t mediumIndex);
    const std::array<std::uint8_t, kWriteParametersCopyLength>& WriteParametersPage() const {
        return m_writeParameters;
    }
    [[nodiscard]] bool SendOPC();
    [[nodiscard]] bool ReserveTrack(std::uint32_t blocks);
    [[nodiscard]] bool SendDVDStructure(std::uint8_t format, std::span<const std::uint8_t> data);
    [[nodiscard]] bool SendDVDTimestamp(double when);
    [[nodiscard]] bool SendCueSheet(std::span<const std::uint8_t> cueSheet); // at most 65535 bytes
    // WRITE (10); a negative LBA goes as its two's complement. False when nothing could be sent.
    [[nodiscard]] bool WriteSectors(std::int32_t lba, std::uint16_t count, std::uint8_t flags,
                                    std::span<const std::uint8_t> buffer);
    [[nodiscard]] bool SyncCache(int timeoutMs, bool immediate);
    [[nodiscard]] bool CloseTrackSession(bool closeTrack, bool immediate, bool finalizeDvdPlusR);
    [[nodiscard]] bool FormatUnit(std::uint8_t cdb1, std::span<const std::uint8_t, 16> parameterList);

    // Erase. EraseDisc says whether the BLANK / FORMAT UNIT was accepted; a second erase while one
    // runs on this device is refused.
    using TEraseDoneEvent = std::function<void(TSCSIDevice* sender, bool withError)>;
    [[nodiscard]] bool EraseDisc(bool quick);
    bool Erasing() const { return m_erasing; }
    int EraseProgress() const;
    // Blocks until a running erase thread has ended (it ends by itself). The destructor calls it after
    // asking the thread to stop early; a derived component whose event handlers touch its own parts
    // calls it in its own destructor.
    void JoinEraseThread();
    TEraseDoneEvent OnEraseDone; // success raised on the erase thread, refusal on the caller's

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
    // The last failed command was answered by the drive itself (a target status such as CHECK CONDITION
    // or BUSY), not lost on the way (time-out, no such device, host adapter failure).
    bool LastFailureFromTarget = false;
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
    bool PerformOPC = false;
    bool FinalizeTrack = false;
    bool WritePostGap = false;
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
    // Capabilities from the page copy (flags, underrun protection, the maximum speeds it reports) and
    // from the DVD+RW and DVD-R/-RW write features.
    void FlagsFromCapabilitiesPage();
    void FlagsFromFeatures();
    int InquireAdapter(std::uint8_t adapter);
    void LogFailure(const transport::SrbExecuteScsi& srb);
    std::string DeviceStringForCurrent();
    // Sends one command; returns the SRB status (01h success, 00h when nothing could be sent).
    std::uint8_t Run(std::span<const std::uint8_t> cdb, std::uint8_t flags, std::uint8_t* data,
                     std::uint32_t length, int timeoutMs);
    bool RunOk(std::span<const std::uint8_t> cdb, std::uint8_t flags, std::uint8_t* data,
               std::uint32_t length, int timeoutMs) {
        return Run(cdb, flags, data, length, timeoutMs) == transport::srbstatus::kComplete;
    }
    bool IsNotReadyBySense() const;
    // RunOk, sent again while the drive answers busy or not ready for a while (becoming ready, a long
    // write or another operation in progress), for at most kTransientWaitMs: such an answer says
    // "later", not "no". Any other failure, a timeout or a drive gone, ends it at once.
    bool RunOkWaitingOutBusy(std::span<const std::uint8_t> cdb, std::uint8_t flags, std::uint8_t* data,
                             std::uint32_t length, int timeoutMs);
    friend class TEraseThread;
    void EraseThreadFinished() { m_erasing = false; }

    transport::Clock* m_clock;
    std::uint8_t m_adapter = kNoDevice;
    std::uint8_t m_target = kNoDevice;
    std::uint8_t m_lun = kNoDevice;
    int m_adapterCount = -1;
    CapabilitiesPage m_capsPage;
    transport::SrbHostAdapterInquiry m_adapterInquiry{};
    bool m_underrunFromPages = false; // the drive's own pages announce underrun protection
    std::uint16_t m_writeSpeed = 0;
    std::array<std::uint8_t, kDiscInformationLength> m_discInfo{};
    TrackInformation m_trackInfo;
    std::array<std::uint8_t, kConfigurationLength> m_configuration{};
    std::array<std::uint8_t, kAtipLength> m_atip{};
    std::array<std::uint8_t, kRequestSenseLength> m_requestSense{};
    std::array<std::uint8_t, kWriteParametersCopyLength> m_writeParameters{};
    std::atomic<bool> m_erasing{false};          // set by EraseDisc, cleared by the erase thread
    std::unique_ptr<TEraseThread> m_eraseThread; // only the thread that calls EraseDisc touches it

    DebugTextSink* m_debugWindow = nullptr; // guarded by the log link lock
};

} // namespace lorvane::drive
