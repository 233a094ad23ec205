#pragma once
// A virtual recorder with one drive on the fake clock, and the disc commands a host sends it, built
// byte by byte as the host fills them.

#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "recorder_test_support.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

namespace lorvane::recorder::testsupport {

using Bytes = std::vector<std::uint8_t>;

struct Reply {
    std::uint8_t status = 0; // SRB status: 01h complete, 04h error
    Bytes sense;             // the 18 bytes of fixed-format sense data
    Bytes data;              // the whole buffer the host gave

    std::tuple<int, int, int> Sense() const { return {sense[2] & 0x0F, sense[12], sense[13]}; }
    bool Good() const { return status == transport::srbstatus::kComplete; }
};

inline constexpr std::tuple<int, int, int> kGood{0, 0, 0};

class DiscFixture : public ::testing::Test {
public: // table-driven cases reach the helpers through a reference to the fixture
    DiscFixture() : recorder(clock), drive(&recorder.AddDrive(DriveIdentity(), scratch.File("disc.img"))) {
        drive->SetReportMediumChange(false);
    }

    void Insert(MediumKind kind) { ASSERT_EQ(InsertDisc(*drive, kind), std::nullopt); }
    // A new disc of that kind: the old one taken out, its file and saved state thrown away.
    void Fresh(MediumKind kind) {
        ASSERT_EQ(InsertDisc(*drive, MediumKind::None), std::nullopt);
        std::filesystem::remove(DiscStatePath(drive->DiscPath()));
        std::filesystem::resize_file(drive->DiscPath(), 0);
        Insert(kind);
    }

    Reply Send(std::initializer_list<std::uint8_t> cdb, std::uint8_t flags, Bytes buffer) {
        auto srb = MakeExecute(0, drive->Target(), cdb, flags, buffer.empty() ? nullptr : buffer.data(),
                               static_cast<std::uint32_t>(buffer.size()));
        recorder.SendCommand(&srb);
        Reply reply{srb.header.status, Bytes(srb.senseArea, srb.senseArea + 18), std::move(buffer)};
        if (reply.Good()) std::fill(reply.sense.begin(), reply.sense.end(), std::uint8_t{0});
        return reply;
    }
    Reply In(std::initializer_list<std::uint8_t> cdb, std::size_t length) {
        return Send(cdb, transport::srbflag::kRead, Bytes(length, 0xEE));
    }
    Reply Out(std::initializer_list<std::uint8_t> cdb, Bytes data) {
        return Send(cdb, transport::srbflag::kWrite, std::move(data));
    }
    Reply NoData(std::initializer_list<std::uint8_t> cdb) {
        return Send(cdb, transport::srbflag::kNoData, {});
    }

    static std::uint8_t B(std::uint32_t v, int byte) { return static_cast<std::uint8_t>(v >> (8 * byte)); }

    // WRITE (10) of count blocks at lba, each block filled with its own LBA's low byte.
    Reply Write(std::uint32_t lba, std::uint16_t count) {
        Bytes data(std::size_t{count} * 2048);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(lba + i / 2048);
        return Out({0x2A, 0, B(lba, 3), B(lba, 2), B(lba, 1), B(lba, 0), 0, B(count, 1), B(count, 0), 0},
                   std::move(data));
    }
    Reply Read(std::uint32_t lba, std::uint16_t count) {
        return In({0x28, 0, B(lba, 3), B(lba, 2), B(lba, 1), B(lba, 0), 0, B(count, 1), B(count, 0), 0},
                  std::size_t{count} * 2048);
    }
    // Writes blocks in the 31-block transfers hosts use, advancing the clock so the buffer drains.
    void WriteRun(std::uint32_t lba, std::uint32_t blocks) {
        while (blocks != 0) {
            const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(blocks, 31));
            const Reply reply = Write(lba, count);
            ASSERT_TRUE(reply.Good()) << "write at " << lba << ": " << std::get<1>(reply.Sense());
            clock.Advance(std::chrono::seconds(1));
            lba += count;
            blocks -= count;
        }
    }
    Reply SyncCache(bool immediate = false) {
        return NoData({0x35, immediate ? std::uint8_t{2} : std::uint8_t{0}, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    Reply Close(std::uint8_t function, std::uint16_t track = 0, bool immediate = false) {
        return NoData({0x5B, immediate ? std::uint8_t{1} : std::uint8_t{0}, function, 0, B(track, 1),
                       B(track, 0), 0, 0, 0, 0});
    }
    Reply Reserve(std::uint32_t blocks) {
        return In({0x53, 0, 0, 0, 0, B(blocks, 3), B(blocks, 2), B(blocks, 1), B(blocks, 0), 0}, 8);
    }
    Reply DiscInformation() { return In({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34); }
    Reply TrackInformation(std::uint8_t type, std::uint32_t number) {
        return In({0x52, type, B(number, 3), B(number, 2), B(number, 1), B(number, 0), 0, 0, 36, 0}, 36);
    }
    Reply Toc(std::uint8_t format, bool msf = false, std::uint8_t track = 0) {
        return In({0x43, msf ? std::uint8_t{2} : std::uint8_t{0}, format, 0, 0, 0, track, 0, 252, 0}, 252);
    }
    Reply Capacity() { return In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8); }

    // MODE SELECT (10) of page 05h as hosts send it: an 8-byte header of zeros, then the 52-byte page.
    Reply WriteParameters(std::uint8_t writeFlags, std::uint8_t trackFlags, std::uint8_t linkSize = 0,
                          std::uint8_t blockType = 8) {
        Bytes list(60, 0);
        list[8] = 0x05;
        list[9] = 0x32;
        list[10] = writeFlags;
        list[11] = trackFlags;
        list[12] = blockType;
        list[13] = linkSize;
        list[22] = 0x00; // audio pause 150 as drives report it
        list[23] = 0x96;
        return Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, std::move(list));
    }
    // The pages the drive component sends: CD track at once, finalizing or leaving the disc open.
    void CdTrackAtOnce(bool nextSession) {
        ASSERT_TRUE(WriteParameters(0x41, nextSession ? 0xC4 : 0x04).Good());
    }
    void DvdDiscAtOnce() { ASSERT_TRUE(WriteParameters(0x42, 0x05).Good()); }

    lorvane::testing::FakeClock clock;
    ScratchFolder scratch;
    VirtualRecorder recorder;
    VirtualDrive* drive;
};

inline Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

} // namespace lorvane::recorder::testsupport
