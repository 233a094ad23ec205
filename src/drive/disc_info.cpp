// Disc and track information: medium type, sessions, next writable address, free space and capacity
// (MMC READ DISC INFORMATION, READ TRACK INFORMATION, READ TOC/PMA/ATIP, GET CONFIGURATION,
// READ CAPACITY, READ FORMAT CAPACITIES, READ (10)).

#include "drive/disc_info.h"

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <array>
#include <span>

namespace lorvane::drive {

using namespace transport;

std::atomic<std::uint8_t> LastMediumIndex{medium::kNone};

namespace {

inline constexpr int kInfoTimeoutMs = 10000;
inline constexpr int kTrackInfoTimeoutMs = 60000;

// READ TOC/PMA/ATIP formats (MMC).
namespace toc {
inline constexpr std::uint8_t kToc = 0, kSessionInfo = 1, kAtip = 4;
inline constexpr std::uint8_t kTocLength = 114, kSessionInfoLength = 4;
inline constexpr std::size_t kLastSessionAt = 3, kFirstSessionAt = 2;
// ATIP descriptor: byte 6 bit 7 set for a recordable disc, bit 6 the disc type (rewritable); bytes
// 12-14 the start of the lead-out as M:S:F.
inline constexpr std::size_t kDiscTypeAt = 6, kLeadOutMinuteAt = 12, kLeadOutSecondAt = 13,
                             kLeadOutFrameAt = 14;
inline constexpr std::uint8_t kRecordable = 0x80, kRewritable = 0x40;
inline constexpr std::uint16_t kAtipDataLength = 2 + 24; // reserved bytes 2-3 and the descriptor
} // namespace toc

// READ DISC INFORMATION byte 2: bit 4 erasable, bits 2-3 state of the last session, bits 0-1 disc status.
namespace discinfo {
inline constexpr std::size_t kStatusAt = 2;
inline constexpr std::uint8_t kErasable = 0x10, kLastSessionMask = 0x0C, kDiscStatusMask = 0x03;
} // namespace discinfo

// READ TRACK INFORMATION reply fields (MMC).
namespace trackinfo {
inline constexpr std::size_t kDataLength = 0, kTrackStart = 8, kNextWritable = 12, kFreeBlocks = 16,
                             kFixedPacketSize = 20, kTrackSize = 24, kLastRecorded = 28;
} // namespace trackinfo

namespace configreply {
inline constexpr std::size_t kCurrentProfileAt = 6;
inline constexpr std::uint8_t kRtOne = 2;
} // namespace configreply

inline constexpr std::uint32_t kUntrustedLastLba = 0x7F000000; // larger values are drive garbage
inline constexpr std::uint32_t kShortestAtipLeadOut = 20000;   // frames: below this ATIP is implausible
inline constexpr std::uint32_t kSectorSize = 2048;

struct ProfileRow {
    std::uint16_t profile;
    std::uint8_t mediumIndex;
    std::string_view name;
    bool erasable;
};
// MMC profile list, as far as this system tells media apart.
constexpr ProfileRow kProfiles[] = {
    {0x01, medium::kNone, "Non-removable disk", false},
    {0x02, medium::kNone, "Removable disk", false},
    {0x03, medium::kNone, "MO Eraseable", true},
    {0x04, medium::kNone, "MO Write Once", false},
    {0x05, medium::kNone, "AS-MO", false},
    {0x08, medium::kCdRom, "CD-ROM", false},
    {0x09, medium::kCdR, "CD-R", false},
    {0x0A, medium::kCdRw, "CD-RW", true},
    {0x10, medium::kDvdRom, "DVD-ROM", false},
    {0x11, medium::kDvdR, "DVD-R", false},
    {0x12, medium::kDvdRam, "DVD-RAM", false},
    {0x13, medium::kDvdRw, "DVD-RW Restricted Overwrite", true},
    {0x14, medium::kDvdRw, "DVD-RW Sequential Recording", true},
    {0x1A, medium::kDvdPlusRw, "DVD+RW", true},
    {0x1B, medium::kDvdPlusR, "DVD+R", false},
    {0x20, medium::kDdcdRom, "DDCD-ROM", false},
    {0x21, medium::kDdcdR, "DDCD-R", false},
    {0x22, medium::kDdcdRw, "DDCD-RW", true},
};

const ProfileRow* FindProfile(std::uint16_t profile) {
    const auto row = std::find_if(std::begin(kProfiles), std::end(kProfiles),
                                  [profile](const ProfileRow& r) { return r.profile == profile; });
    return row == std::end(kProfiles) ? nullptr : row;
}

bool IsDvd(std::uint8_t mediumIndex) {
    return mediumIndex == medium::kDvdRom || mediumIndex == medium::kDvdRam ||
           mediumIndex == medium::kDvdRw || mediumIndex == medium::kDvdRwSequential ||
           mediumIndex == medium::kDvdPlusRw;
}

// The session after the last complete one, without wrapping past 255.
std::uint8_t NextSession(std::uint8_t lastSession) {
    return lastSession == 0xFF ? lastSession : static_cast<std::uint8_t>(lastSession + 1);
}

// Whether an answer to the ATIP request is an ATIP: its data length covers the 24-byte descriptor and
// byte 6 has bit 7 set, as in every ATIP. Drives that take the format from byte 9 (the SFF-8020 place)
// answer with the TOC instead, whose length is 2 + 8 per entry and whose byte 6 is the first track
// number; read as an ATIP, its lead-out entry would give a made-up capacity.
bool IsAtip(std::span<const std::uint8_t> reply) {
    if (reply.size() <= toc::kDiscTypeAt) return false;
    const ByteReader r(reply);
    return r.GetBe16(0) >= toc::kAtipDataLength && (r.GetU8(toc::kDiscTypeAt) & toc::kRecordable) != 0;
}

std::array<std::uint8_t, 10> Cdb10(std::uint8_t opcode) {
    std::array<std::uint8_t, 10> cdb{};
    cdb[0] = opcode;
    return cdb;
}

} // namespace

std::string_view DeviceTypeName(std::uint8_t mediumIndex) {
    return mediumIndex < DeviceTypeNames.size() ? DeviceTypeNames[mediumIndex] : DeviceTypeNames[0];
}

std::uint8_t MediumIndexOfProfile(std::uint16_t profile) {
    const ProfileRow* row = FindProfile(profile);
    return row ? row->mediumIndex : medium::kNone;
}

std::string_view ProfileName(std::uint16_t profile) {
    const ProfileRow* row = FindProfile(profile);
    return row ? row->name : "???????";
}

bool ProfileIsErasable(std::uint16_t profile) {
    const ProfileRow* row = FindProfile(profile);
    return row && row->erasable;
}

// ---- commands ----

bool TSCSIDevice::ReadDiscInformation(std::span<std::uint8_t> buffer, std::uint8_t length) {
    const auto asked = static_cast<std::uint8_t>(std::min<std::size_t>(length, buffer.size()));
    auto cdb = Cdb10(op::kReadDiscInformation);
    ByteWriter(cdb).PutBe16(7, asked);
    return RunOk(cdb, srbflag::kRead, buffer.data(), asked, kInfoTimeoutMs);
}

bool TSCSIDevice::ReadDiscInformation() {
    m_discInfo.fill(0);
    return ReadDiscInformation(m_discInfo, static_cast<std::uint8_t>(m_discInfo.size()));
}

bool TSCSIDevice::ReadTrackInformation(std::uint8_t track) {
    constexpr std::uint8_t kAddressIsTrackNumber = 0x01;
    m_trackInfo = TrackInformation{};
    auto cdb = Cdb10(op::kReadTrackInformation);
    ByteWriter w(cdb);
    w.PutU8(1, kAddressIsTrackNumber);
    w.PutBe32(2, track);
    w.PutBe16(7, TrackInformation::kLength);
    if (!RunOk(cdb, srbflag::kRead, m_trackInfo.raw.data(), TrackInformation::kLength, kTrackInfoTimeoutMs))
        return false;
    using namespace trackinfo;
    const ByteReader r(m_trackInfo.raw);
    m_trackInfo.dataLength = r.GetBe16(kDataLength);
    m_trackInfo.trackStart = r.GetBe32(kTrackStart);
    m_trackInfo.nextWritable = r.GetBe32(kNextWritable);
    m_trackInfo.freeBlocks = r.GetBe32(kFreeBlocks);
    m_trackInfo.fixedPacketSize = r.GetBe32(kFixedPacketSize);
    m_trackInfo.trackSize = r.GetBe32(kTrackSize);
    m_trackInfo.lastRecorded = r.GetBe32(kLastRecorded);
    return true;
}

bool TSCSIDevice::ReadTOC(std::uint8_t format, std::span<std::uint8_t> buffer, std::uint8_t length,
                          std::uint8_t trackOrSession, bool msf, std::uint8_t control) {
    constexpr std::uint8_t kMsf = 0x02;
    const auto asked = static_cast<std::uint8_t>(std::min<std::size_t>(length, buffer.size()));
    auto cdb = Cdb10(op::kReadTocPmaAtip);
    ByteWriter w(cdb);
    w.PutU8(1, msf ? kMsf : 0);
    w.PutU8(2, format);
    w.PutU8(6, trackOrSession);
    w.PutBe16(7, asked);
    w.PutU8(9, control);
    return RunOk(cdb, srbflag::kRead, buffer.data(), asked, kInfoTimeoutMs);
}

bool TSCSIDevice::ReadCapacity(std::uint32_t& lastLba, std::uint32_t& blockLength) {
    std::array<std::uint8_t, 8> reply{};
    if (!RunOk(Cdb10(op::kReadCapacity), srbflag::kRead, reply.data(), reply.size(), kInfoTimeoutMs))
        return false;
    const ByteReader r(reply);
    lastLba = r.GetBe32(0);
    blockLength = r.GetBe32(4);
    return true;
}

bool TSCSIDevice::ReadFormatCapacities(std::uint32_t& blocks) {
    // MMC: a 4-byte capacity list header, then the current/maximum capacity descriptor.
    constexpr std::uint8_t kAllocation = 248;
    constexpr std::size_t kCurrentBlocksAt = 4;
    std::array<std::uint8_t, kAllocation> reply{};
    auto cdb = Cdb10(op::kReadFormatCapacities);
    ByteWriter(cdb).PutBe16(7, kAllocation);
    if (!RunOk(cdb, srbflag::kRead, reply.data(), kAllocation, kInfoTimeoutMs)) return false;
    blocks = ByteReader(reply).GetBe32(kCurrentBlocksAt);
    return true;
}

bool TSCSIDevice::ReadSectors(std::uint32_t lba, std::uint16_t count, std::span<std::uint8_t> buffer) {
    if (buffer.size() > 0xFFFFFFFFu) return false;
    auto cdb = Cdb10(op::kRead10);
    ByteWriter w(cdb);
    w.PutBe32(2, lba);
    w.PutBe16(7, count);
    return RunOkWaitingOutBusy(cdb, srbflag::kRead, buffer.data(), static_cast<std::uint32_t>(buffer.size()),
                               kInfoTimeoutMs);
}

// ---- derived operations ----

std::uint8_t TSCSIDevice::GetLastSession() {
    std::array<std::uint8_t, toc::kSessionInfoLength> reply{};
    if (!ReadTOC(toc::kSessionInfo, reply, toc::kSessionInfoLength, 0, false, 0)) return 0;
    return reply[toc::kLastSessionAt];
}

std::uint8_t TSCSIDevice::GetMediumType() {
    m_configuration.fill(0);
    if (GetConfiguration(configreply::kRtOne, 0, static_cast<std::uint8_t>(m_configuration.size()),
                         m_configuration)) {
        const std::uint8_t index =
            MediumIndexOfProfile(ByteReader(m_configuration).GetBe16(configreply::kCurrentProfileAt));
        if (index != medium::kNone) return index;
    }
    m_atip.fill(0);
    if (ReadTOC(toc::kAtip, m_atip, static_cast<std::uint8_t>(m_atip.size()), 0, true, 0)) {
        const std::uint8_t type = m_atip[toc::kDiscTypeAt];
        if (!(type & toc::kRecordable)) return medium::kCdRom;
        return (type & toc::kRewritable) ? medium::kCdRw : medium::kCdR;
    }
    if (ReadDiscInformation())
        return (m_discInfo[discinfo::kStatusAt] & discinfo::kErasable) ? medium::kCdRw : medium::kCdR;
    if (TestUnitReady(5000)) return medium::kCdRom;
    return medium::kNone;
}

bool TSCSIDevice::IsDiscErasable() {
    if (ReadDiscInformation()) return (m_discInfo[discinfo::kStatusAt] & discinfo::kErasable) != 0;
    const std::uint8_t index = GetMediumType();
    LastMediumIndex = index;
    return index == medium::kDvdRam || index == medium::kDvdRw || index == medium::kDvdRwSequential ||
           index == medium::kDvdPlusRw;
}

TDisc TSCSIDevice::GetDiscInfo() {
    TDisc disc;
    if (!TestUnitReady(5000)) {
        (void)WaitUnitReady(3000, 5000);
        if (!TestUnitReady(5000)) return disc;
    }
    disc.ready = true;

    std::array<std::uint8_t, toc::kTocLength> tocReply{};
    if (ReadTOC(toc::kToc, tocReply, toc::kTocLength, 0, false, 0)) disc.mediumName = "CD-ROM";
    std::array<std::uint8_t, toc::kSessionInfoLength> sessions{};
    if (ReadTOC(toc::kSessionInfo, sessions, toc::kSessionInfoLength, 0, false, 0)) {
        disc.firstSession = sessions[toc::kFirstSessionAt];
        disc.lastSession = sessions[toc::kLastSessionAt];
    }
    m_atip.fill(0);
    if (ReadTOC(toc::kAtip, m_atip, static_cast<std::uint8_t>(m_atip.size()), 0, true, 0) && IsAtip(m_atip))
        disc.capacity = MSFToFrames(0, m_atip[toc::kLeadOutMinuteAt], m_atip[toc::kLeadOutSecondAt],
                                    m_atip[toc::kLeadOutFrameAt]);

    m_configuration.fill(0);
    if (GetConfiguration(configreply::kRtOne, 0, static_cast<std::uint8_t>(m_configuration.size()),
                         m_configuration)) {
        disc.profile = ByteReader(m_configuration).GetBe16(configreply::kCurrentProfileAt);
        disc.mediumName = std::string(ProfileName(disc.profile));
        disc.erasable = ProfileIsErasable(disc.profile);
        // The invisible track tells the used and the total space of a recordable disc; a DVD's
        // first track spans the whole medium.
        const std::uint8_t index = MediumIndexOfProfile(disc.profile);
        if (ReadTrackInformation(index < medium::kDvdRom ? kInvisibleTrack : 1)) {
            disc.blocks = m_trackInfo.nextWritable;
            disc.blockLength = kSectorSize;
            disc.capacity = std::max(disc.capacity, m_trackInfo.trackStart + m_trackInfo.freeBlocks);
        }
        std::uint32_t formatted = 0;
        if (ReadFormatCapacities(formatted)) disc.capacity = std::max(disc.capacity, formatted);
    }

    if (ReadDiscInformation()) {
        const std::uint8_t status = m_discInfo[discinfo::kStatusAt];
        disc.discStatus = status & discinfo::kDiscStatusMask;
        disc.lastSessionState = static_cast<std::uint8_t>((status & discinfo::kLastSessionMask) >> 2);
        disc.erasable = (status & discinfo::kErasable) != 0;
    } else {
        std::uint32_t lastLba = 0, blockLength = 0;
        if (ReadCapacity(lastLba, blockLength)) {
            disc.blocks = lastLba;
            disc.blockLength = blockLength;
        }
        if (ReadTrackInformation(0)) disc.mediumName = "CD-ROM";
    }
    if (disc.capacity < disc.blocks) disc.capacity = disc.blocks;
    return disc;
}

std::uint32_t TSCSIDevice::GetNextWritableAddress() {
    std::uint32_t result = 0;
    const std::uint8_t next = NextSession(GetLastSession());
    if (ReadTrackInformation(next)) {
        result = m_trackInfo.nextWritable;
        // A blank disc has no session yet: its invisible track starts at 0, which is an answer.
        if (next == 1 || result != 0) return result;
    }
    std::uint32_t lastLba = 0, blockLength = 0;
    if (ReadCapacity(lastLba, blockLength)) {
        if (lastLba > kUntrustedLastLba) {
            std::uint32_t blocks = 0;
            return ReadFormatCapacities(blocks) ? blocks : 0;
        }
        return lastLba;
    }
    if (ReadTrackInformation(NextSession(GetLastSession()))) result = m_trackInfo.freeBlocks;
    return result;
}

std::uint32_t TSCSIDevice::GetFreeBlocks() {
    const std::uint8_t index = GetMediumType();
    // The invisible track's free blocks depend on the write parameters; count them as for a closed
    // disc, which is what every recording may need.
    const bool finalize = FinalizeDisc;
    FinalizeDisc = true;
    (void)SetWriteParameters(false, UnderrunProtection, index);
    FinalizeDisc = finalize;

    if (!ReadTrackInformation(IsDvd(index) ? 1 : kInvisibleTrack))
        (void)ReadTrackInformation(NextSession(GetLastSession()));
    return std::max(m_trackInfo.freeBlocks, m_trackInfo.trackSize);
}

std::uint32_t TSCSIDevice::GetDiscCapacity() {
    m_atip.fill(0);
    // A pressed disc has no ATIP; a drive that answers with something else is treated as refusing.
    if (ReadTOC(toc::kAtip, m_atip, static_cast<std::uint8_t>(m_atip.size()), 0, true, 0) && IsAtip(m_atip)) {
        std::uint32_t result = MSFToFrames(0, m_atip[toc::kLeadOutMinuteAt], m_atip[toc::kLeadOutSecondAt],
                                           m_atip[toc::kLeadOutFrameAt]);
        std::uint32_t lastLba = 0, blockLength = 0;
        if (result < kShortestAtipLeadOut && ReadCapacity(lastLba, blockLength) && lastLba > result)
            result = lastLba;
        return result;
    }
    if (ReadTrackInformation(NextSession(GetLastSession())))
        return m_trackInfo.trackStart + m_trackInfo.freeBlocks;
    std::uint32_t blocks = 0;
    if (ReadFormatCapacities(blocks)) return blocks;
    return GetNextWritableAddress();
}

} // namespace lorvane::drive
