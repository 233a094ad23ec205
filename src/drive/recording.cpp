// Recording commands: the write parameters page, OPC, track reservation, DVD structures, WRITE (10),
// SYNCHRONIZE CACHE, CLOSE TRACK/SESSION and FORMAT UNIT (MMC).

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace lorvane::drive {

using namespace transport;

namespace {

inline constexpr int kModeSelectTimeoutMs = 10000;
inline constexpr int kOpcTimeoutMs = 150000; // power calibration can take minutes on old drives
inline constexpr int kReserveTimeoutMs = 10000;
inline constexpr int kStructureTimeoutMs = 10000;
inline constexpr int kCueSheetTimeoutMs = 30000;
inline constexpr int kWriteTimeoutMs = 120000;
inline constexpr int kCloseTimeoutMs = 180000; // MMC: closing a session writes the lead-in and lead-out
inline constexpr int kFormatTimeoutMs = 10000;

// Write parameters page (MMC mode page 05h), offsets from the page code.
namespace wpage {
inline constexpr std::size_t kPageLength = 1, kWriteType = 2, kTrackMode = 3, kDataBlockType = 4,
                             kLinkSize = 5, kHostApplicationCode = 7, kSessionFormat = 8, kPacketSize = 10;
inline constexpr std::uint8_t kLength = 0x32;             // 50 parameter bytes
inline constexpr std::uint8_t kBufe = 0x40;               // byte 2: buffer underrun free recording
inline constexpr std::uint8_t kLinkSizeValid = 0x20;      // byte 2: LS_V
inline constexpr std::uint8_t kTestWriteBit = 0x10;       // byte 2
inline constexpr std::uint8_t kTrackAtOnce = 0x01;        // byte 2 write type 1
inline constexpr std::uint8_t kDvdPlusRWriteType = 0x22;  // LS_V and write type 2
inline constexpr std::uint8_t kDvdMinusRWriteType = 0x02; // write type 2 (disc at once)
inline constexpr std::uint8_t kMultiSession = 0xC0;       // byte 3 bits 6-7: 11b next session allowed
inline constexpr std::uint8_t kDataTrack = 0x04;          // byte 3 track mode 4
inline constexpr std::uint8_t kDataIncremental = 0x05;    // byte 3 track mode 5 (DVD-R)
inline constexpr std::uint8_t kMode1 = 8;                 // byte 4: 2048-byte user data
inline constexpr std::uint8_t kDvdPlusRLinkSize = 0x10;
inline constexpr std::size_t kSentLength = 52; // page code, page length, 50 bytes
} // namespace wpage

inline constexpr std::size_t kModeHeaderLength = 8; // MODE SELECT (10) parameter header

std::optional<std::size_t> LocateWritePage(std::span<const std::uint8_t> reply) {
    for (const std::size_t at : {std::size_t{16}, std::size_t{8}, std::size_t{7}})
        if (at < reply.size() && reply[at] == modepage::kWriteParameters) return at;
    return std::nullopt;
}

bool IsDvdMinusR(std::uint8_t mediumIndex) {
    return mediumIndex == medium::kDvdR || mediumIndex == medium::kDvdRw ||
           mediumIndex == medium::kDvdRwSequential;
}

std::uint8_t* OutBuffer(std::span<const std::uint8_t> data) {
    // The transport only reads from a data-out buffer.
    return const_cast<std::uint8_t*>(data.data());
}

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

} // namespace

std::string DvdTimestampText(double when) {
    constexpr double kMsPerDay = 86400000.0;
    constexpr std::int64_t kDaysFrom1899To1970 = 25569;
    // Outside years 1-9999 the 14 characters cannot hold the date: clamp to the nearest end.
    constexpr double kFirstDay = -693593.0;    // 0001-01-01
    constexpr double kLastDay = 2958465.99999; // 9999-12-31 23:59:59
    if (std::isnan(when)) when = 0;
    when = std::clamp(when, kFirstDay, kLastDay);
    const auto ms = static_cast<std::int64_t>(std::llround(when * kMsPerDay));
    std::int64_t days = ms / 86400000, msOfDay = ms % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days - kDaysFrom1899To1970, year, month, day);
    const auto seconds = static_cast<unsigned>(msOfDay / 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u%02u%02u%02u", year, month, day, seconds / 3600,
                  seconds / 60 % 60, seconds % 60);
    return text;
}

bool TSCSIDevice::ModeSelect(std::span<const std::uint8_t> data) {
    constexpr std::uint8_t kPageFormat = 0x10;
    if (data.size() > std::numeric_limits<std::uint8_t>::max()) return false;
    std::vector<std::uint8_t> scratch(data.begin(), data.end());
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kModeSelect10);
    w.PutU8(1, kPageFormat);
    w.PutBe16(7, static_cast<std::uint16_t>(data.size()));
    return RunOk(cdb, srbflag::kWrite, scratch.data(), static_cast<std::uint32_t>(scratch.size()),
                 kModeSelectTimeoutMs);
}

bool TSCSIDevice::SetWriteParameters(bool testWrite, bool underrun, std::uint8_t mediumIndex) {
    using namespace wpage;
    // DVD-RAM is written like a hard disk: it has no write parameters.
    if (mediumIndex == medium::kDvdRam) return true;

    constexpr std::uint16_t kAllocation = 512;
    std::array<std::uint8_t, kAllocation> reply{};
    if (!ModeSense(modepage::kWriteParameters, reply, false, kAllocation, reply.size() - 1)) return false;
    const std::size_t at = LocateWritePage(reply).value_or(8);
    std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(at), m_writeParameters.size(),
                m_writeParameters.begin());
    auto& page = m_writeParameters;

    page[kPageLength] = kLength;
    page[kWriteType] = kTrackAtOnce;
    page[kDataBlockType] = kMode1;
    if (mediumIndex == medium::kDvdPlusR) page[kWriteType] = kDvdPlusRWriteType;
    page[kTrackMode] = kDataTrack;
    if (QuirkLinkSize) page[kWriteType] |= kLinkSizeValid;
    const auto setMultiSession = [&](bool open) {
        if (open)
            page[kTrackMode] |= kMultiSession;
        else
            page[kTrackMode] &= static_cast<std::uint8_t>(~kMultiSession);
    };
    setMultiSession(!testWrite && !FinalizeDisc);
    if ((Capabilities & cap::kUnderrunProtection) && underrun)
        page[kWriteType] |= kBufe;
    else
        page[kWriteType] &= static_cast<std::uint8_t>(~kBufe);

    if (IsDvdMinusR(mediumIndex)) {
        // A DVD-R/-RW recording is always closed: multi-session 00b.
        page[kTrackMode] = kDataIncremental;
        page[kWriteType] = underrun ? (kBufe | kDvdMinusRWriteType) : kDvdMinusRWriteType;
    } else if (QuirkSlowLeadOut) {
        page[kWriteType] = kBufe | kTrackAtOnce;
        setMultiSession(!FinalizeDisc);
    }

    if ((Capabilities & cap::kTestWrite) && testWrite)
        page[kWriteType] |= kTestWriteBit;
    else
        page[kWriteType] &= static_cast<std::uint8_t>(~kTestWriteBit);

    std::fill(page.begin() + kLinkSize, page.begin() + kPacketSize + 4, std::uint8_t{0});
    static_assert(kHostApplicationCode < kPacketSize && kSessionFormat < kPacketSize);
    if (mediumIndex == medium::kDvdPlusR) page[kLinkSize] = kDvdPlusRLinkSize;

    std::array<std::uint8_t, kWriteParametersListLength> list{};
    static_assert(kModeHeaderLength + kSentLength == kWriteParametersListLength);
    std::copy_n(page.begin(), kSentLength, list.begin() + kModeHeaderLength);
    const std::size_t length = std::min<std::size_t>(page[kPageLength] + 10u, list.size());
    return ModeSelect(std::span(list).first(length));
}

bool TSCSIDevice::SendOPC() {
    constexpr std::uint8_t kDoOpc = 0x01;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSendOpcInformation);
    w.PutU8(1, kDoOpc);
    return RunOk(cdb, srbflag::kNoData, nullptr, 0, kOpcTimeoutMs);
}

bool TSCSIDevice::ReserveTrack(std::uint32_t blocks) {
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kReserveTrack);
    w.PutBe32(5, blocks);
    std::array<std::uint8_t, 8>
        unused{}; // no data is expected; the receive buffer only satisfies old managers
    return RunOk(cdb, srbflag::kRead, unused.data(), unused.size(), kReserveTimeoutMs);
}

bool TSCSIDevice::SendDVDStructure(std::uint8_t format, std::span<const std::uint8_t> data) {
    if (data.size() > std::numeric_limits<std::uint16_t>::max()) return false;
    std::array<std::uint8_t, 12> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSendDvdStructure);
    w.PutU8(7, format);
    w.PutBe16(8, static_cast<std::uint16_t>(data.size()));
    return RunOk(cdb, srbflag::kWrite, OutBuffer(data), static_cast<std::uint32_t>(data.size()),
                 kStructureTimeoutMs);
}

bool TSCSIDevice::SendDVDTimestamp(double when) {
    // MMC SEND DVD STRUCTURE format 0Fh: a 4-byte header, 4 reserved bytes, then the time stamp.
    constexpr std::uint8_t kTimestampFormat = 0x0F;
    constexpr std::uint16_t kDataLength = 20;
    constexpr std::size_t kStampAt = 8, kStampLength = 14;
    std::array<std::uint8_t, kStampAt + kStampLength> data{};
    ByteWriter(data).PutBe16(0, kDataLength);
    const std::string stamp = DvdTimestampText(when);
    std::copy_n(stamp.begin(), std::min(stamp.size(), kStampLength), data.begin() + kStampAt);
    return SendDVDStructure(kTimestampFormat, data);
}

bool TSCSIDevice::SendCueSheet(std::span<const std::uint8_t> cueSheet) {
    if (cueSheet.size() > std::numeric_limits<std::uint16_t>::max()) return false;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSendCueSheet);
    w.PutBe16(7, static_cast<std::uint16_t>(cueSheet.size()));
    return RunOk(cdb, srbflag::kWrite, OutBuffer(cueSheet), static_cast<std::uint32_t>(cueSheet.size()),
                 kCueSheetTimeoutMs);
}

bool TSCSIDevice::WriteSectors(std::int32_t lba, std::uint16_t count, std::uint8_t flags,
                               std::span<const std::uint8_t> buffer) {
    if (buffer.size() > std::numeric_limits<std::uint32_t>::max()) return false;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kWrite10);
    w.PutBe32(2, static_cast<std::uint32_t>(lba)); // MMC: the lead-in/pre-gap addresses are negative
    w.PutBe16(7, count);
    // Only a completed SRB wrote anything; a status still 00h means nothing reached a drive.
    return RunOk(cdb, flags, OutBuffer(buffer), static_cast<std::uint32_t>(buffer.size()), kWriteTimeoutMs);
}

bool TSCSIDevice::SyncCache(int timeoutMs, bool immediate) {
    constexpr std::uint8_t kImmediate = 0x02;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSynchronizeCache);
    w.PutU8(1, immediate ? kImmediate : 0);
    return RunOk(cdb, srbflag::kNoData, nullptr, 0, timeoutMs);
}

bool TSCSIDevice::CloseTrackSession(bool closeTrack, bool immediate, bool finalizeDvdPlusR) {
    // MMC CLOSE TRACK/SESSION close functions: 1 track, 2 session, 5 finalize a DVD+R.
    constexpr std::uint8_t kCloseTrack = 1, kCloseSession = 2, kFinalizeDvdPlusR = 5;
    constexpr std::uint8_t kImmediate = 0x01, kInvisibleTrackNumber = 0xFF;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kCloseTrackSession);
    w.PutU8(1, immediate ? kImmediate : 0);
    w.PutU8(2, finalizeDvdPlusR ? kFinalizeDvdPlusR : (closeTrack ? kCloseTrack : kCloseSession));
    w.PutBe16(4, closeTrack ? kInvisibleTrackNumber : 0);
    return RunOk(cdb, srbflag::kNoData, nullptr, 0, kCloseTimeoutMs);
}

bool TSCSIDevice::FormatUnit(std::uint8_t cdb1, std::span<const std::uint8_t, 16> parameterList) {
    std::array<std::uint8_t, 16> list{};
    std::copy(parameterList.begin(), parameterList.end(), list.begin());
    std::array<std::uint8_t, 6> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kFormatUnit);
    w.PutU8(1, cdb1);
    return RunOkWaitingOutBusy(cdb, srbflag::kWrite, list.data(), list.size(), kFormatTimeoutMs);
}

} // namespace lorvane::drive
