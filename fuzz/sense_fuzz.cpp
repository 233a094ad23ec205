// Fuzzes the decoding of what a drive answers: sense data and SRB status into text, and the replies
// of the disc, track, capability and capacity queries. A drive may answer anything, so none of it may
// crash the component or make it read outside a reply.
//
// Input: 3 status bytes and 33 sense bytes, decoded directly; the rest is a script of answers. For
// every command the device sends (except INQUIRY, which names a CD/DVD drive so it can be selected)
// one control byte says how it ends:
// - bit 7 set: it fails: the next byte is the SRB status (an error, never pending), the next the target
//   status (bit 6 of the control byte: plus a host adapter status byte), then bits 0-5 + 1 sense bytes;
// - bit 7 clear: it completes, and the next byte says how many data bytes follow (the rest of the
//   reply is zero).
// When the script runs out every command fails with NOT READY, MEDIUM NOT PRESENT.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "drive/disc_info.h"
#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "drive/sense.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"
#include "transport/srb.h"

namespace {

using namespace lorvane;
using namespace lorvane::transport;

// The answers still to give.
struct Script {
    const std::uint8_t* at = nullptr;
    const std::uint8_t* end = nullptr;

    bool Empty() const { return at == end; }
    std::uint8_t Next() { return at == end ? 0 : *at++; }
    std::span<const std::uint8_t> Take(std::size_t count) {
        count = std::min<std::size_t>(count, static_cast<std::size_t>(end - at));
        const std::span<const std::uint8_t> taken(at, count);
        at += count;
        return taken;
    }
};
Script g_script;

void AnswerInquiry(SrbExecuteScsi& srb) {
    std::array<std::uint8_t, 36> reply{};
    reply[0] = 5; // CD/DVD device
    reply[1] = 0x80;
    reply[4] = 31;
    std::memcpy(&reply[8], "LORVANE VIRTUAL RECORDER1.00", 28);
    if (srb.dataBuffer) std::memcpy(srb.dataBuffer, reply.data(), std::min<std::size_t>(36, srb.dataLength));
    srb.header.status = srbstatus::kComplete;
}

void Answer(SrbExecuteScsi& srb) {
    if (g_script.Empty()) {
        srb.targetStatus = 0x02;
        const std::uint8_t noMedium[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00};
        std::memcpy(srb.senseArea, noMedium, sizeof noMedium);
        srb.header.status = srbstatus::kError;
        return;
    }
    const std::uint8_t control = g_script.Next();
    if (control & 0x80) {
        std::uint8_t status = g_script.Next();
        if (status == srbstatus::kPending || status == srbstatus::kComplete) status = srbstatus::kError;
        srb.targetStatus = g_script.Next();
        if (control & 0x40) srb.hostStatus = g_script.Next();
        const auto sense = g_script.Take((control & 0x3F) + 1u);
        std::memcpy(srb.senseArea, sense.data(), std::min(sense.size(), sizeof srb.senseArea));
        srb.header.status = status;
        return;
    }
    const auto data = g_script.Take(g_script.Next());
    if (srb.dataBuffer && (srb.header.flags & srbflag::kDataIn)) {
        std::memset(srb.dataBuffer, 0, srb.dataLength);
        std::memcpy(srb.dataBuffer, data.data(), std::min<std::size_t>(data.size(), srb.dataLength));
    }
    srb.header.status = srbstatus::kComplete;
}

std::uint32_t SupportInfo() {
    return 0x0101;
}

std::uint32_t Send(void* request) {
    auto* header = static_cast<SrbHeader*>(request);
    switch (header->command) {
    case srbcmd::kHostAdapterInquiry: {
        auto& srb = *static_cast<SrbHostAdapterInquiry*>(request);
        std::memcpy(srb.managerId, "LORVANE FUZZ    ", 16);
        std::memcpy(srb.adapterId, "  ADAPTER 0     ", 16);
        srb.adapterCount = 1;
        srb.header.status = srbstatus::kComplete;
        break;
    }
    case srbcmd::kExecuteScsi: {
        auto& srb = *static_cast<SrbExecuteScsi*>(request);
        if (srb.header.hostAdapter != 0 || srb.target != 0 || srb.lun != 0)
            srb.header.status = srbstatus::kNoDevice;
        else if (srb.cdb[0] == drive::op::kInquiry)
            AnswerInquiry(srb);
        else
            Answer(srb);
        break;
    }
    case srbcmd::kAbort: header->status = srbstatus::kComplete; break;
    default: header->status = srbstatus::kInvalidRequest;
    }
    return header->status;
}

template <class Fn> void* AsSymbol(Fn fn) {
    void* symbol = nullptr;
    std::memcpy(&symbol, &fn, sizeof symbol);
    return symbol;
}

// Hands the two entry points above to the transport as if they were the manager module.
class FuzzLoader final : public ModuleLoader {
public:
    void* Open(const std::string&) override { return &m_token; }
    void* Symbol(void*, const char* name) override {
        if (std::strcmp(name, kGetSupportInfoName) == 0) return AsSymbol(&SupportInfo);
        if (std::strcmp(name, kSendCommandName) == 0) return AsSymbol(&Send);
        return nullptr;
    }
    void Close(void*) override {}

private:
    char m_token = 0;
};

class Discard final : public drive::DebugTextSink {
public:
    ~Discard() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override { m_characters += line.size(); }

private:
    std::size_t m_characters = 0;
};

struct Bench {
    testing::FakeClock clock;
    testing::FakeKernel kernel;
    FuzzLoader loader;
    Discard sink;
};
Bench* g_bench = nullptr;

template <class T> void Use(const T& value) {
    volatile std::size_t sink = value.size();
    (void)sink;
}

void DecodeSense(const std::uint8_t* data) {
    std::array<std::uint8_t, kSenseAreaLength> sense{};
    std::memcpy(sense.data(), data + 3, sense.size());
    const drive::DecodedFailure failure = drive::DecodeFailure(data[0], data[1], data[2], sense);
    Use(failure.text);
    Use(drive::StatusText(data[0], data[1], data[2]));
    Use(drive::SenseKeyText(sense));
    Use(drive::SenseCodeText(sense[drive::senseat::kAsc], sense[drive::senseat::kAscq]));
}

void QueryDrive(drive::TSCSIDevice& device) {
    (void)device.ReadCapabilities();
    Use(std::to_string(device.MaxWriteSpeedX() + device.MaxReadSpeedX() + device.CurrentWriteSpeedX() +
                       device.CurrentWriteSpeedKBs()));
    (void)device.ReadBufferCapacity();
    (void)device.ReadDiscInformation();
    for (const std::uint8_t track : {std::uint8_t{1}, drive::kInvisibleTrack})
        (void)device.ReadTrackInformation(track);
    std::array<std::uint8_t, 254> toc{};
    for (const std::uint8_t format : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{4}})
        (void)device.ReadTOC(format, toc, static_cast<std::uint8_t>(toc.size()), 1, format == 0, 0);
    std::uint32_t lastLba = 0, blockLength = 0, blocks = 0;
    (void)device.ReadCapacity(lastLba, blockLength);
    (void)device.ReadFormatCapacities(blocks);
    std::array<std::uint8_t, drive::kRequestSenseLength> sense{};
    (void)device.RequestSense(sense, static_cast<std::uint8_t>(sense.size()));
    (void)device.GetLastSession();
    Use(drive::DeviceTypeName(device.GetMediumType()));
    (void)device.IsDiscErasable();
    (void)device.GetDiscInfo();
    (void)device.GetNextWritableAddress();
    (void)device.GetFreeBlocks();
    (void)device.GetDiscCapacity();
    std::array<std::uint8_t, 2 * 2048> sectors{};
    (void)device.ReadSectors(16, 2, sectors);
    // The write parameters page is read back and changed before it is sent.
    (void)device.SetWriteParameters(false, true, device.GetMediumType());
    (void)device.WaitUnitReady(2000, 500);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never freed: the transport keeps the loader and the kernel until the process ends.
    g_bench = new Bench();
    SetPassThroughKernel(&g_bench->kernel);
    SetModuleLoader(&g_bench->loader);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kDirect = 3 + kSenseAreaLength;
    if (size < kDirect) return 0;
    DecodeSense(data);

    g_script = {data + kDirect, data + size};
    if (!InitASPI(false)) return 0;
    {
        drive::TSCSIDevice device(g_bench->clock);
        device.SetDebugWindow(&g_bench->sink);
        device.DoDebug = true; // every failure is decoded and logged
        // Selecting the drive reads its identity and capabilities through the script already.
        device.SetDevice("0:0:0,?: LORVANE VIRTUAL RECORDER1.00");
        if (device.DeviceType == 5) QueryDrive(device);
    }
    CloseTransport();
    return 0;
}
