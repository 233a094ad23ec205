#pragma once
// A scripted MMC drive for the scripted provider: answers the disc-information, unit-control and
// recording commands from fields a test sets, and is not ready until a point in virtual time.

#include "drive_harness.h"
#include "transport/byte_order.h"

#include <optional>
#include <set>

namespace lorvane::drive::drivetest {

inline Bytes NotReadySense() {
    return Sense(0x02, 0x04, 0x07); // LOGICAL UNIT NOT READY, OPERATION IN PROGRESS
}

struct ScriptedMmc {
    const testing::FakeClock* clock = nullptr;
    std::int64_t notReadyUntilMs = 0;     // TEST UNIT READY and READ DISC INFORMATION fail before this
    bool present = true;                  // false: every medium command fails with 2/3A/00
    std::optional<std::uint16_t> profile; // GET CONFIGURATION current profile; nullopt: command refused
    std::optional<Bytes> atip;            // READ TOC format 4 reply
    std::optional<Bytes> toc;             // READ TOC format 0 reply
    std::optional<Bytes> sessions;        // READ TOC format 1 reply
    std::optional<Bytes> discInfo;        // READ DISC INFORMATION reply
    std::map<std::uint8_t, Bytes> tracks; // READ TRACK INFORMATION replies by track number
    std::optional<std::pair<std::uint32_t, std::uint32_t>> capacity; // READ CAPACITY last LBA, length
    std::optional<std::uint32_t> formatCapacity;                     // READ FORMAT CAPACITIES blocks
    std::optional<Bytes> writePage;                                  // MODE SENSE page 05h reply
    std::optional<Bytes> capsPage;     // MODE SENSE page 2Ah replies (default and current)
    std::optional<Bytes> requestSense; // REQUEST SENSE reply while not ready; nullopt: refused
    std::set<std::uint8_t> refused;    // opcodes answered with 5/24/00
    std::vector<Bytes> dataOut;        // the data of every data-out command, in order

    bool Ready() const { return present && (clock == nullptr || clock->NowMs() >= notReadyUntilMs); }

    void Serve(SrbExecuteScsi& srb) {
        const std::uint8_t opcode = srb.cdb[0];
        if (srb.header.flags & srbflag::kDataOut)
            dataOut.emplace_back(srb.dataBuffer, srb.dataBuffer + srb.dataLength);
        if (refused.count(opcode)) return Fail(srb, 0x04, 0x00, 0x02, Sense(0x05, 0x24, 0x00));
        const auto answer = [&srb](const std::optional<Bytes>& reply) {
            if (reply)
                Answer(srb, *reply);
            else
                Fail(srb, 0x04, 0x00, 0x02, Sense(0x05, 0x24, 0x00));
        };
        const auto notReady = [&] {
            Fail(srb, 0x04, 0x00, 0x02, present ? NotReadySense() : Sense(0x02, 0x3A, 0x00));
        };
        switch (opcode) {
        case op::kTestUnitReady:
            if (Ready()) return Answer(srb, {});
            return notReady();
        case op::kReadDiscInformation:
            if (!Ready()) return notReady();
            return answer(discInfo);
        case op::kRequestSense:
            if (Ready()) return Answer(srb, Sense(0x00, 0x00, 0x00));
            if (!present) return Answer(srb, Sense(0x02, 0x3A, 0x00));
            return answer(requestSense);
        case op::kGetConfiguration: {
            if (!profile) return answer(std::nullopt);
            Bytes reply(16, 0);
            reply[3] = 12;
            reply[6] = static_cast<std::uint8_t>(*profile >> 8);
            reply[7] = static_cast<std::uint8_t>(*profile);
            return Answer(srb, reply);
        }
        case op::kReadTocPmaAtip:
            if (!present) return notReady();
            if ((srb.cdb[2] & 0x0F) == 4) return answer(atip);
            if ((srb.cdb[2] & 0x0F) == 1) return answer(sessions);
            return answer(toc);
        case op::kReadTrackInformation: {
            if (!present) return notReady();
            const auto track = tracks.find(srb.cdb[5]);
            return answer(track == tracks.end() ? std::nullopt : std::optional<Bytes>(track->second));
        }
        case op::kReadCapacity: {
            if (!present || !capacity) return answer(std::nullopt);
            Bytes reply(8, 0);
            ByteWriter w(reply);
            w.PutBe32(0, capacity->first);
            w.PutBe32(4, capacity->second);
            return Answer(srb, reply);
        }
        case op::kReadFormatCapacities: {
            if (!present || !formatCapacity) return answer(std::nullopt);
            Bytes reply(12, 0);
            reply[3] = 8;
            ByteWriter(reply).PutBe32(4, *formatCapacity);
            reply[8] = 0x02;
            reply[10] = 0x08;
            return Answer(srb, reply);
        }
        case op::kModeSense10:
            if ((srb.cdb[2] & 0x3F) == 0x05) return answer(writePage);
            if ((srb.cdb[2] & 0x3F) == 0x2A) return answer(capsPage);
            return answer(std::nullopt);
        default: return Answer(srb, {});
        }
    }
};

// Track information reply: start, next writable address, free blocks, track size.
inline Bytes TrackReply(std::uint32_t start, std::uint32_t nextWritable, std::uint32_t freeBlocks,
                        std::uint32_t size) {
    Bytes reply(38, 0);
    ByteWriter w(reply);
    w.PutBe16(0, 36);
    w.PutBe32(8, start);
    w.PutBe32(12, nextWritable);
    w.PutBe32(16, freeBlocks);
    w.PutBe32(24, size);
    return reply;
}

// ATIP reply: disc type byte 6, lead-out start M:S:F at bytes 12-14.
inline Bytes AtipReply(std::uint8_t discType, std::uint8_t minute, std::uint8_t second, std::uint8_t frame) {
    Bytes reply(26, 0);
    reply[1] = 26; // 2 reserved bytes and the 24-byte descriptor; the whole reply is 28 bytes
    reply[6] = discType;
    reply[12] = minute;
    reply[13] = second;
    reply[14] = frame;
    return reply;
}

// A TOC in MSF form (format 0): one data track at 00:02:00 per entry of starts (frames), then the
// lead-out. Drives that take the format from byte 9 send it for an ATIP request.
inline Bytes TocReply(std::vector<std::uint32_t> starts, std::uint32_t leadOut) {
    constexpr std::uint8_t kLeadOutTrack = 0xAA;
    starts.push_back(leadOut);
    Bytes reply(4 + 8 * starts.size(), 0);
    ByteWriter w(reply);
    w.PutBe16(0, static_cast<std::uint16_t>(reply.size() - 2));
    w.PutU8(2, 1);
    w.PutU8(3, static_cast<std::uint8_t>(starts.size() - 1));
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::size_t at = 4 + 8 * i;
        const bool last = i + 1 == starts.size();
        w.PutU8(at + 1, last ? 0x16 : 0x14);
        w.PutU8(at + 2, last ? kLeadOutTrack : static_cast<std::uint8_t>(i + 1));
        w.PutU8(at + 5, static_cast<std::uint8_t>(starts[i] / 4500));
        w.PutU8(at + 6, static_cast<std::uint8_t>(starts[i] / 75 % 60));
        w.PutU8(at + 7, static_cast<std::uint8_t>(starts[i] % 75));
    }
    return reply;
}

// Disc information reply with byte 2 as given.
inline Bytes DiscInfoReply(std::uint8_t status) {
    Bytes reply(34, 0);
    reply[1] = 32;
    reply[2] = status;
    return reply;
}

// A fixture whose selected device talks to one scripted MMC drive.
class MmcTest : public DeviceTest {
protected:
    TSCSIDevice& Drive() {
        auto& dev = Selected();
        mmc.clock = &clock;
        script.command = [this](SrbExecuteScsi& srb) { mmc.Serve(srb); };
        return dev;
    }
    std::vector<Bytes> CdbsWith(std::uint8_t opcode, std::size_t length) const {
        std::vector<Bytes> cdbs;
        for (const auto& c : script.SentWith(opcode)) cdbs.push_back(CdbOf(c, length));
        return cdbs;
    }
    std::vector<std::uint8_t> Opcodes() const {
        std::vector<std::uint8_t> codes;
        for (const auto& c : script.sent) codes.push_back(c.cdb[0]);
        return codes;
    }
    ScriptedMmc mmc;
};

} // namespace lorvane::drive::drivetest
