#pragma once
// Test harness for the drive component: a scripted provider behind the two ASPI entry points,
// installed through a fake module loader, and a fixture with a selected device on a virtual clock.

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace lorvane::drive::drivetest {

using namespace transport;
using Bytes = std::vector<std::uint8_t>;
using Address = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;

// ---- a scripted provider behind the two entry points ----

struct SentCommand {
    Bytes cdb; // all 16 bytes of the CDB area
    std::uint8_t adapter, target, lun, flags, senseLength, cdbLength;
    std::uint32_t dataLength;
    std::uintptr_t eventHandle;
};

// Standard INQUIRY data: peripheral byte, then the raw 8/16/4 identity fields.
inline Bytes InquiryReply(std::uint8_t peripheral, const std::string& vendor, const std::string& product,
                          const std::string& revision) {
    Bytes reply(36, 0);
    reply[0] = peripheral;
    reply[1] = 0x80;
    reply[4] = 31;
    std::memcpy(&reply[8], vendor.data(), std::min<std::size_t>(vendor.size(), 8));
    std::memcpy(&reply[16], product.data(), std::min<std::size_t>(product.size(), 16));
    std::memcpy(&reply[32], revision.data(), std::min<std::size_t>(revision.size(), 4));
    return reply;
}

inline Bytes Sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    Bytes sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

inline void Fail(SrbExecuteScsi& srb, std::uint8_t status, std::uint8_t host, std::uint8_t target,
                 const Bytes& sense = {}) {
    srb.hostStatus = host;
    srb.targetStatus = target;
    std::copy_n(sense.begin(), std::min(sense.size(), sizeof srb.senseArea), srb.senseArea);
    srb.header.status = status;
}

inline void Answer(SrbExecuteScsi& srb, const Bytes& reply) {
    if (srb.dataBuffer != nullptr)
        std::copy_n(reply.begin(), std::min<std::size_t>(reply.size(), srb.dataLength), srb.dataBuffer);
    srb.header.status = srbstatus::kComplete;
}

struct Script {
    std::map<Address, Bytes> devices; // INQUIRY data of each present device
    std::function<void(SrbHostAdapterInquiry&)> adapterInquiry = [](SrbHostAdapterInquiry& srb) {
        std::memcpy(srb.managerId, "LORVANE SCRIPT  ", 16);
        std::memcpy(srb.adapterId, "  ADAPTER 0     ", 16);
        srb.adapterCount = 1;
        srb.header.status = srbstatus::kComplete;
    };
    // Every command to a present device other than INQUIRY; completes without data by default.
    std::function<void(SrbExecuteScsi&)> command = [](SrbExecuteScsi& srb) { srb.header.status = 1; };
    std::function<void(SrbGetDiskInfo&)> diskInfo = [](SrbGetDiskInfo&) {}; // not answered
    std::vector<SentCommand> sent;
    int aborts = 0;
    void* aborted = nullptr;
    bool abortSawEvent = false;
    std::uint8_t abortAdapter = 0;

    std::vector<SentCommand> SentWith(std::uint8_t opcode) const {
        std::vector<SentCommand> result;
        for (const auto& c : sent)
            if (c.cdb[0] == opcode) result.push_back(c);
        return result;
    }
};
inline Script* g_script = nullptr;

inline std::uint32_t ScriptSupportInfo() {
    return 0x0101;
}

inline std::uint32_t ScriptSend(void* request) {
    auto* header = static_cast<SrbHeader*>(request);
    Script& script = *g_script;
    switch (header->command) {
    case srbcmd::kHostAdapterInquiry:
        script.adapterInquiry(*static_cast<SrbHostAdapterInquiry*>(request));
        break;
    case srbcmd::kExecuteScsi: {
        auto& srb = *static_cast<SrbExecuteScsi*>(request);
        script.sent.push_back({Bytes(srb.cdb, srb.cdb + sizeof srb.cdb), srb.header.hostAdapter, srb.target,
                               srb.lun, srb.header.flags, srb.senseLength, srb.cdbLength, srb.dataLength,
                               srb.eventHandle});
        const auto device = script.devices.find({srb.header.hostAdapter, srb.target, srb.lun});
        if (device == script.devices.end())
            srb.header.status = srbstatus::kNoDevice;
        else if (srb.cdb[0] == op::kInquiry)
            Answer(srb, device->second);
        else
            script.command(srb);
        break;
    }
    case srbcmd::kAbort: {
        auto& srb = *static_cast<SrbAbort*>(request);
        ++script.aborts;
        script.aborted = srb.srbToAbort;
        script.abortAdapter = srb.header.hostAdapter;
        script.abortSawEvent = static_cast<SrbExecuteScsi*>(srb.srbToAbort)->eventHandle != 0;
        srb.header.status = srbstatus::kComplete;
        break;
    }
    case srbcmd::kGetDiskInfo: script.diskInfo(*static_cast<SrbGetDiskInfo*>(request)); break;
    default: header->status = srbstatus::kInvalidRequest;
    }
    return header->status;
}

template <class Fn> inline void* AsSymbol(Fn fn) {
    void* symbol = nullptr;
    std::memcpy(&symbol, &fn, sizeof symbol);
    return symbol;
}

// Hands the scripted entry points to InitASPI as if they were the manager module.
class ScriptLoader final : public ModuleLoader {
public:
    bool withoutEntryPoints = false;
    void* Open(const std::string&) override { return &m_token; }
    void* Symbol(void*, const char* name) override {
        if (withoutEntryPoints) return nullptr;
        if (std::strcmp(name, kGetSupportInfoName) == 0) return AsSymbol(&ScriptSupportInfo);
        if (std::strcmp(name, kSendCommandName) == 0) return AsSymbol(&ScriptSend);
        return nullptr;
    }
    void Close(void*) override {}

private:
    char m_token = 0;
};

class LineSink final : public DebugTextSink {
public:
    ~LineSink() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

// A virtual clock that runs one scheduled action once time has reached it.
class ScheduledClock final : public Clock {
public:
    TimePoint Now() const override { return TimePoint(std::chrono::milliseconds(m_nowMs)); }
    void SleepFor(std::chrono::milliseconds d) override {
        m_nowMs += d.count();
        if (m_action && m_nowMs >= m_atMs) std::exchange(m_action, nullptr)();
    }
    void At(std::int64_t ms, std::function<void()> action) {
        m_atMs = m_nowMs + ms;
        m_action = std::move(action);
    }
    std::int64_t NowMs() const { return m_nowMs; }

private:
    std::int64_t m_nowMs = 0;
    std::int64_t m_atMs = 0;
    std::function<void()> m_action;
};

inline const std::string kIdentity = "LORVANE VIRTUAL RECORDER1.00"; // raw vendor + product + revision

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_script = &script;
        CloseTransport();
        SetPassThroughKernel(&kernel);
        SetModuleLoader(&loader);
        ASSERT_TRUE(InitASPI(false));
        ASSERT_EQ(ASPILayerName(), kManagerLayerName);
    }
    void TearDown() override {
        device.reset();
        CloseTransport();
        SetModuleLoader(nullptr);
        SetPassThroughKernel(nullptr);
        g_script = nullptr;
    }
    TSCSIDevice& MakeDevice() {
        device = std::make_unique<TSCSIDevice>(clock);
        device->SetDebugWindow(&sink);
        device->OnDebugMessage = [this](TSCSIDevice* sender, const std::string& message, std::uint8_t mType) {
            EXPECT_EQ(sender, device.get());
            events.emplace_back(message, mType);
        };
        return *device;
    }
    // A selected CD/DVD device at the address.
    TSCSIDevice& Selected(const std::string& address = "0:0:0") {
        auto& dev = MakeDevice();
        const auto first = address.find(':'), second = address.find(':', first + 1);
        const Address key{static_cast<std::uint8_t>(std::stoi(address.substr(0, first))),
                          static_cast<std::uint8_t>(std::stoi(address.substr(first + 1, second - first - 1))),
                          static_cast<std::uint8_t>(std::stoi(address.substr(second + 1)))};
        script.devices[key] = InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00");
        dev.SetDevice(address + ",?: " + kIdentity);
        EXPECT_EQ(dev.DeviceType, 5);
        script.sent.clear();
        sink.lines.clear();
        events.clear();
        return dev;
    }

    testing::FakeClock clock;
    Script script;
    ScriptLoader loader;
    testing::FakeKernel kernel;
    LineSink sink;
    std::vector<std::pair<std::string, std::uint8_t>> events;
    std::unique_ptr<TSCSIDevice> device;
};

inline SrbExecuteScsi Command(std::initializer_list<std::uint8_t> cdb, std::uint8_t flags,
                              std::uint8_t* data = nullptr, std::uint32_t length = 0) {
    SrbExecuteScsi srb{};
    srb.header.flags = flags;
    srb.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.cdb);
    srb.dataBuffer = data;
    srb.dataLength = length;
    return srb;
}

inline std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// The first `length` bytes of a sent CDB.
inline Bytes CdbOf(const SentCommand& c, std::size_t length) {
    return Bytes(c.cdb.begin(), c.cdb.begin() + static_cast<std::ptrdiff_t>(length));
}

// One sent command: its CDB (as many bytes as `cdb` holds, which is also its length), flags and data length.
inline void ExpectSent(const SentCommand& c, const Bytes& cdb, std::uint8_t flags, std::uint32_t dataLength) {
    EXPECT_EQ(CdbOf(c, cdb.size()), cdb);
    EXPECT_EQ(c.cdbLength, cdb.size());
    EXPECT_EQ(c.flags, flags);
    EXPECT_EQ(c.dataLength, dataLength);
}

} // namespace lorvane::drive::drivetest
