#include "recorder/disc_medium.h"

#include "recorder/mechanics.h"
#include "recorder/mechanics_commands.h"
#include "recorder/virtual_drive.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <system_error>

namespace lorvane::recorder {

namespace {

using std::chrono::milliseconds;
using transport::ByteReader;
using transport::ByteWriter;

constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;
// A single speed when the drive names none for the medium: 1x CD (75 x 2352 B/s), 1x DVD.
constexpr std::uint32_t kSingleCdKBs = 176, kSingleDvdKBs = 1385;
// A minimal blank rewrites the lead-in and the first lead-out area (CD) or the lead-in zone (DVD-RW);
// a quick DVD-RW format writes about as much.
constexpr std::uint32_t kMinimalBlankCdBlocks = geometry::kLeadIn + geometry::kFirstLeadOut;
constexpr std::uint32_t kQuickDvdBlocks = 32768;

CommandOutcome Check(const SenseCode& code) {
    return CommandOutcome::Check(code);
}

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t unit) {
    const std::uint64_t rounded = (std::uint64_t{value} + unit - 1) / unit * unit;
    return rounded > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rounded);
}

// MMC: LBA = (M*60 + S)*75 + F - 150; lead-in addresses (M >= 90) wrap: LBA = frames - 450150.
void PutMsf(ByteWriter& w, std::size_t at, std::int64_t lba) {
    const std::int64_t frames = lba >= -150 ? lba + 150 : lba + 450150;
    const auto f = static_cast<std::uint32_t>(std::max<std::int64_t>(frames, 0));
    w.PutU8(at, 0);
    w.PutU8(at + 1, static_cast<std::uint8_t>(f / (60 * 75)));
    w.PutU8(at + 2, static_cast<std::uint8_t>(f / 75 % 60));
    w.PutU8(at + 3, static_cast<std::uint8_t>(f % 75));
}

void PutAddress(ByteWriter& w, std::size_t at, std::uint32_t lba, bool msf) {
    if (msf)
        PutMsf(w, at, lba);
    else
        w.PutBe32(at, lba);
}

std::uint32_t SpeedKBs(CommandContext& context, bool cd) {
    const std::uint32_t speed = context.drive.mechanics.WriteSpeedKBs();
    return speed != 0 ? speed : cd ? kSingleCdKBs : kSingleDvdKBs;
}

// How long the drive takes to write that many blocks at its current write speed; a CD block on the
// disc is a 2352-byte frame, a DVD block 2048 bytes (kB/s = bytes per millisecond).
milliseconds WriteTime(CommandContext& context, std::uint64_t blocks, bool cd) {
    const std::uint64_t bytes = blocks * (cd ? 2352u : 2048u);
    return milliseconds(static_cast<std::int64_t>(bytes / SpeedKBs(context, cd)));
}

// Blanking and formatting run at the medium's own rated speed when the drive is faster: rewritable
// discs are slower than write-once ones (CD-RW 10x, DVD-RW 2x, DVD+RW 4x, DVD-RAM 3x).
milliseconds EraseTime(CommandContext& context, std::uint64_t blocks, MediumKind kind) {
    const std::uint32_t rated = kind == MediumKind::CdRw        ? 1764
                                : kind == MediumKind::DvdRw     ? 2770
                                : kind == MediumKind::DvdPlusRw ? 5540
                                                                : 4155;
    const bool cd = IsCd(kind);
    const std::uint64_t bytes = blocks * (cd ? 2352u : 2048u);
    return milliseconds(static_cast<std::int64_t>(bytes / std::min(SpeedKBs(context, cd), rated)));
}

milliseconds DrainTime(CommandContext& context) {
    return std::chrono::duration_cast<milliseconds>(context.drive.mechanics.DrainedAt(context.now) -
                                                    context.now);
}

bool DriveWrites(const CommandContext& context, std::uint16_t profile) {
    return WritesProfile(context.drive.identity.model, profile);
}

bool DriveReads(const DriveModel& model, MediumKind kind) {
    if (kind == MediumKind::DvdRam) return model.readsDvdRam;
    return IsCd(kind) || model.readsDvd;
}

bool IsSequentialDvd(const DiscState& s) {
    return (s.kind == MediumKind::DvdR || s.kind == MediumKind::DvdRw) && !IsOverwritable(s);
}

// Blank DVD+RW that nothing has been written to or formatted yet.
bool IsVirginPlusRw(const DiscState& s) {
    return s.kind == MediumKind::DvdPlusRw && !s.formatted && s.recordedEnd == 0;
}

// Overwritable media: the blocks the single track spans.
std::uint32_t OverwritableSize(const DiscState& s) {
    return s.formatted ? s.formattedBlocks : CapacityLimit(s);
}

// What READ TRACK INFORMATION reports about one track (MMC-5 6.27.3, fields by offset).
struct TrackView {
    std::uint32_t number = 1;
    std::uint16_t session = 1;
    std::uint32_t start = 0;
    std::uint32_t span = 0; // blocks an LBA lookup counts as inside the track
    std::uint8_t modeFlags = 0x01;
    std::uint8_t validFlags = 0;
    std::uint32_t nextWritable = 0, free = 0, fixedPacket = 0, size = 0, lastRecorded = 0;
};

namespace rti {
inline constexpr std::size_t kLength = 0, kTrackLsb = 2, kSessionLsb = 3, kTrackMode = 5, kDataMode = 6,
                             kValid = 7, kStart = 8, kNextWritable = 12, kFree = 16, kFixedPacket = 20,
                             kSize = 24, kLastRecorded = 28, kTrackMsb = 32, kSessionMsb = 33;
inline constexpr std::size_t kReplyLength = 36;
inline constexpr std::uint8_t kReserved = 0x80, kBlank = 0x40, kPacket = 0x20, kFixed = 0x10, kMode1 = 0x01;
inline constexpr std::uint8_t kLraValid = 0x02, kNwaValid = 0x01;
inline constexpr std::uint8_t kDataUninterrupted = 0x04;
} // namespace rti

std::vector<TrackView> TrackViews(const DiscState& s, const WriteParameters& page) {
    using namespace rti;
    std::vector<TrackView> views;
    if (IsOverwritable(s) || IsPressed(s.kind)) {
        TrackView v;
        v.size = v.span = IsPressed(s.kind) ? s.tracks.front().size : OverwritableSize(s);
        if (s.kind == MediumKind::DvdPlusRw) {
            v.modeFlags = static_cast<std::uint8_t>(IsVirginPlusRw(s) ? kBlank | kMode1 : kMode1);
            v.free = v.size; // every block can be written again; +RW reports no NWA and no LRA
        } else if (s.kind == MediumKind::DvdRam) {
            v.free = v.size;
            v.validFlags = kLraValid;
            v.lastRecorded = s.recordedEnd == 0 ? 0 : s.recordedEnd - 1;
        } else if (s.kind == MediumKind::DvdRw) { // restricted overwrite: fixed 32 KiB packets
            v.modeFlags = kPacket | kFixed | kMode1;
            v.fixedPacket = geometry::kEccBlock;
            v.free = v.size;
        }
        views.push_back(v);
        return views;
    }
    const std::uint32_t limit = CapacityLimit(s);
    const bool lraShown = s.kind != MediumKind::DvdPlusR;
    const std::optional<WritableTrack> next = NextWritable(s);
    for (std::size_t i = 0; i < s.tracks.size(); ++i) {
        const TrackRecord& t = s.tracks[i];
        TrackView v;
        v.number = static_cast<std::uint32_t>(i + 1);
        v.session = t.session;
        v.start = t.start;
        v.lastRecorded = t.recorded == 0 ? 0 : t.start + t.recorded - 1;
        if (lraShown && t.recorded != 0) v.validFlags |= kLraValid;
        if (t.closed) {
            v.size = v.span = t.size;
        } else {
            v.nextWritable = t.start + t.recorded;
            if (t.reserved) {
                v.modeFlags = static_cast<std::uint8_t>(kReserved | (t.recorded == 0 ? kBlank : 0) | kMode1);
                v.size = v.span = t.size;
                v.free = t.size - t.recorded;
            } else {
                if (IsSequentialDvd(s) && page.Type() == WriteType::Packet)
                    v.modeFlags = kPacket | kMode1; // incremental, incomplete
                v.size = v.span = limit > t.start ? limit - t.start : 0;
                v.free = limit > v.nextWritable ? limit - v.nextWritable : 0;
            }
            if (next && next->track == i && v.free != 0) v.validFlags |= kNwaValid;
        }
        views.push_back(v);
    }
    if (next && !next->track) {
        TrackView v;
        v.number = static_cast<std::uint32_t>(s.tracks.size() + 1);
        v.session = next->session;
        v.start = v.nextWritable = next->start;
        v.free = v.size = v.span = limit > next->start ? limit - next->start : 0;
        v.modeFlags = kBlank | kMode1;
        if (IsSequentialDvd(s) && page.Type() == WriteType::Packet) {
            v.modeFlags |= kPacket;
            v.fixedPacket = geometry::kEccBlock;
        }
        if (v.free != 0) v.validFlags = kNwaValid;
        views.push_back(v);
    }
    return views;
}

// The number of the track the next write goes to (FFh addresses it), 0 when there is none.
std::uint32_t IncompleteTrackNumber(const DiscState& s) {
    const std::optional<WritableTrack> next = NextWritable(s);
    if (!next) return 0;
    return next->track ? static_cast<std::uint32_t>(*next->track + 1)
                       : static_cast<std::uint32_t>(s.tracks.size() + 1);
}

// Tracks of complete sessions: what the TOC lists.
std::vector<TrackView> TocTracks(const DiscState& s) {
    std::vector<TrackView> tracks;
    if (IsOverwritable(s)) {
        if (IsVirginPlusRw(s)) return tracks;
        TrackView v;
        v.size = OverwritableSize(s);
        tracks.push_back(v);
        return tracks;
    }
    for (std::size_t i = 0; i < s.tracks.size(); ++i) {
        const TrackRecord& t = s.tracks[i];
        if (t.session > s.sessions.size() || !s.sessions[t.session - 1].closed) continue;
        TrackView v;
        v.number = static_cast<std::uint32_t>(i + 1);
        v.session = t.session;
        v.start = t.start;
        v.size = t.size;
        tracks.push_back(v);
    }
    return tracks;
}

} // namespace

DiscMedium::DiscMedium(DiscState state, std::filesystem::path statePath)
    : m_state(std::move(state)), m_statePath(std::move(statePath)) {}

DiscMedium::~DiscMedium() {
    if (m_dirty) (void)Save(); // nothing to report to at this point
}

bool DiscMedium::Save() {
    if (m_statePath.empty()) {
        m_dirty = false;
        return true;
    }
    DiscState saved = m_state;
    if (saved.background == BackgroundFormat::Running) saved.background = BackgroundFormat::Suspended;
    // Written beside and renamed over, so that a crash never leaves half a state file.
    std::filesystem::path temporary = m_statePath;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << SaveDiscState(saved);
        out.flush();
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, m_statePath, error);
    if (error) return false;
    m_dirty = false;
    return true;
}

CommandOutcome DiscMedium::Persisted(CommandOutcome outcome) {
    if (outcome.status == CommandOutcome::Status::Good && !Save()) return Check(sense::kWriteError);
    return outcome;
}

std::optional<SenseCode> DiscMedium::OperationSense(transport::Clock::TimePoint now,
                                                    bool forTestUnitReady) const {
    if (!m_operation || now >= m_operation->until) return std::nullopt;
    if (forTestUnitReady && !m_operation->blocksTestUnitReady) return std::nullopt;
    SenseCode code = m_operation->code;
    const auto total = (m_operation->until - m_operation->from).count();
    const auto done = (now - m_operation->from).count();
    code.progress = static_cast<std::uint16_t>(
        total <= 0 ? 0 : std::clamp<long double>(static_cast<long double>(done) * 65536 / total, 0, 65535));
    return code;
}

std::optional<SenseCode> DiscMedium::NotReady(transport::Clock::TimePoint now) const {
    return OperationSense(now, true);
}

std::optional<SenseCode> DiscMedium::Busy(transport::Clock::TimePoint now) const {
    return OperationSense(now, false);
}

void DiscMedium::Settle(transport::Clock::TimePoint now) {
    if (m_state.background == BackgroundFormat::Running && now >= m_backgroundUntil) {
        m_state.background = BackgroundFormat::Complete;
        m_dirty = true;
    }
    if (m_operation && now >= m_operation->until) m_operation.reset();
}

void DiscMedium::StartOperation(CommandContext& context, milliseconds duration, const SenseCode& code,
                                bool blocksTestUnitReady, bool immediate) {
    // Without Immed the command returns when the work is done; in virtual time that is at once.
    if (!immediate || duration.count() <= 0) {
        context.drive.mechanics.DiscardBuffer(context.now);
        m_operation.reset();
        return;
    }
    m_operation = LongOperation{context.now, context.now + duration, code, blocksTestUnitReady};
}

bool DiscMedium::Simulating(const CommandContext& context) const {
    const bool simulates = IsCd(m_state.kind) || IsSequentialDvd(m_state);
    return simulates && context.drive.writeParameters.TestWrite();
}

std::uint32_t DiscMedium::CapacityBlocks() const {
    if (IsPressed(m_state.kind)) return m_state.tracks.front().size;
    if (IsOverwritable(m_state)) return OverwritableSize(m_state);
    return CapacityLimit(m_state);
}

std::optional<SenseCode> DiscMedium::CheckWriteParameters(const WriteParameters& page,
                                                          const DriveModel& model) const {
    const SenseCode bad = sense::kInvalidFieldInParameterList;
    if (page.Multi() == MultiSession::Reserved) return bad;
    if (page.TestWrite() && !model.testWrite) return bad;
    const WriteType type = page.Type();
    if (IsCd(m_state.kind) && !IsPressed(m_state.kind)) {
        // Track-at-once and session-at-once of 2048-byte data blocks (mode 1, or mode 2 form 1).
        if (type != WriteType::TrackAtOnce && type != WriteType::SessionAtOnce) return bad;
        if (page.DataBlockType() != 8 && page.DataBlockType() != 10) return bad;
        if ((page.TrackMode() & writepage::kDataTrack) == 0) return bad;
        return std::nullopt;
    }
    if (IsSequentialDvd(m_state)) {
        if (type != WriteType::Packet && type != WriteType::SessionAtOnce) return bad;
        if (page.LinkSizeValid() && page.LinkSize() != geometry::kEccBlock) return bad;
        if (page.DataBlockType() != 8) return bad;
        if (type == WriteType::Packet && page.FixedPacket() && page.PacketSize() != geometry::kEccBlock)
            return bad;
        return std::nullopt;
    }
    // DVD+R, DVD+RW, DVD-RAM and restricted overwrite take no write parameters and ignore the page,
    // but they cannot simulate.
    if (page.TestWrite() && !IsPressed(m_state.kind)) return bad;
    return std::nullopt;
}

CommandOutcome DiscMedium::ReadDiscInformation(CommandContext& context) {
    constexpr std::size_t kStatus = 2, kFirstTrack = 3, kSessionsLsb = 4, kFirstInLastLsb = 5,
                          kLastInLastLsb = 6, kFlags = 7, kDiscType = 8, kSessionsMsb = 9,
                          kFirstInLastMsb = 10, kLastInLastMsb = 11, kLeadIn = 16, kLastLeadOut = 20;
    constexpr std::size_t kReplyLength = 34;
    constexpr std::uint8_t kErasable = 0x10, kUnrestrictedUse = 0x20;
    const ByteReader cdb(context.cdb);
    if ((cdb.GetU8(1) & 0x07) != 0) return Check(sense::kInvalidFieldInCdb); // only standard disc information

    const DiscState& s = m_state;
    std::uint8_t discStatus = 0, lastSession = 0; // 0 blank/empty, 1 incomplete, 2 complete / 3 complete
    std::uint32_t sessions = 1, firstInLast = 1, lastInLast = 1;
    std::uint32_t leadIn = 0, lastLeadOut = 0;
    std::uint8_t flags = IsPressed(s.kind) ? 0 : kUnrestrictedUse;
    if (IsPressed(s.kind)) {
        discStatus = 2;
        lastSession = 3;
        leadIn = lastLeadOut = kNoAddress;
    } else if (IsOverwritable(s)) {
        discStatus = s.kind == MediumKind::DvdRam ? 3 : IsVirginPlusRw(s) ? 0 : 2;
        lastSession = IsVirginPlusRw(s) ? 0 : 3;
        if (s.kind == MediumKind::DvdPlusRw) flags |= static_cast<std::uint8_t>(s.background);
        leadIn = discStatus == 0 ? 0 : kNoAddress;
        lastLeadOut = discStatus == 0 ? CapacityLimit(s) : kNoAddress;
    } else {
        sessions = static_cast<std::uint32_t>(s.sessions.size());
        const auto lastSessionNumber = static_cast<std::uint16_t>(s.sessions.size());
        const std::optional<WritableTrack> next = NextWritable(s);
        std::uint32_t first = 0;
        for (std::size_t i = 0; i < s.tracks.size() && first == 0; ++i)
            if (s.tracks[i].session == lastSessionNumber) first = static_cast<std::uint32_t>(i + 1);
        const bool invisible = next && !next->track;
        lastInLast = invisible ? static_cast<std::uint32_t>(s.tracks.size() + 1)
                               : static_cast<std::uint32_t>(s.tracks.size());
        firstInLast = first != 0 ? first : lastInLast;
        if (s.finalized) {
            discStatus = 2;
            lastSession = 3;
            leadIn = lastLeadOut = kNoAddress;
        } else {
            discStatus = s.tracks.empty() ? 0 : 1;
            lastSession = first != 0 ? 1 : 0;
            const std::uint32_t openStart = s.sessions.back().start;
            if (IsCd(s.kind)) {
                // The first session's lead-in starts at the ATIP lead-in, a later one 1:00 + 0:02
                // before the session's first track.
                const std::int64_t lba =
                    ClosedSessions(s) == 0 ? geometry::kAtipLeadInLba
                                           : std::int64_t{openStart} - geometry::kLeadIn - geometry::kPreGap;
                std::vector<std::uint8_t> msf(8, 0);
                ByteWriter m(msf);
                PutMsf(m, 0, lba);
                PutMsf(m, 4, geometry::kAtipLeadOutLba);
                leadIn = ByteReader(msf).GetBe32(0);
                lastLeadOut = ByteReader(msf).GetBe32(4);
            } else {
                leadIn = ClosedSessions(s) == 0 ? 0 : openStart;
                lastLeadOut = CapacityLimit(s);
            }
        }
    }
    std::uint8_t status = static_cast<std::uint8_t>(lastSession << 2 | discStatus);
    if (IsErasable(s.kind)) status |= kErasable;

    std::vector<std::uint8_t> reply(kReplyLength, 0);
    ByteWriter w(reply);
    w.PutBe16(0, static_cast<std::uint16_t>(kReplyLength - 2));
    w.PutU8(kStatus, status);
    w.PutU8(kFirstTrack, 1);
    w.PutU8(kSessionsLsb, static_cast<std::uint8_t>(sessions));
    w.PutU8(kSessionsMsb, static_cast<std::uint8_t>(sessions >> 8));
    w.PutU8(kFirstInLastLsb, static_cast<std::uint8_t>(firstInLast));
    w.PutU8(kFirstInLastMsb, static_cast<std::uint8_t>(firstInLast >> 8));
    w.PutU8(kLastInLastLsb, static_cast<std::uint8_t>(lastInLast));
    w.PutU8(kLastInLastMsb, static_cast<std::uint8_t>(lastInLast >> 8));
    w.PutU8(kFlags, flags);
    w.PutU8(kDiscType, 0x00); // CD-DA or CD-ROM; reserved on DVD
    w.PutBe32(kLeadIn, leadIn);
    w.PutBe32(kLastLeadOut, lastLeadOut);
    return CommandOutcome::Good(Trimmed(std::move(reply), cdb.GetBe16(7)));
}

CommandOutcome DiscMedium::ReadTrackInformation(CommandContext& context) {
    using namespace rti;
    const ByteReader cdb(context.cdb);
    const std::uint8_t addressType = cdb.GetU8(1) & 0x03;
    const std::uint32_t number = cdb.GetBe32(2);
    const std::vector<TrackView> views = TrackViews(m_state, context.drive.writeParameters);
    const TrackView* found = nullptr;
    switch (addressType) {
    case 0: // the track that holds this LBA
        for (const TrackView& v : views)
            if (number >= v.start && number - v.start < v.span) found = &v;
        if (!found) return Check(sense::kLbaOutOfRange);
        break;
    case 1: {
        const std::uint32_t wanted = number == 0xFF ? IncompleteTrackNumber(m_state) : number;
        for (const TrackView& v : views)
            if (v.number == wanted) found = &v;
        break;
    }
    case 2: // the first track of that session
        for (const TrackView& v : views)
            if (v.session == number) {
                found = &v;
                break;
            }
        break;
    default: break;
    }
    if (!found) return Check(sense::kInvalidFieldInCdb);

    std::vector<std::uint8_t> reply(kReplyLength, 0);
    ByteWriter w(reply);
    w.PutBe16(kLength, static_cast<std::uint16_t>(kReplyLength - 2));
    w.PutU8(kTrackLsb, static_cast<std::uint8_t>(found->number));
    w.PutU8(kTrackMsb, static_cast<std::uint8_t>(found->number >> 8));
    w.PutU8(kSessionLsb, static_cast<std::uint8_t>(found->session));
    w.PutU8(kSessionMsb, static_cast<std::uint8_t>(found->session >> 8));
    w.PutU8(kTrackMode, kDataUninterrupted);
    w.PutU8(kDataMode, found->modeFlags);
    w.PutU8(kValid, found->validFlags);
    w.PutBe32(kStart, found->start);
    w.PutBe32(kNextWritable, (found->validFlags & kNwaValid) != 0 ? found->nextWritable : 0);
    w.PutBe32(kFree, found->free);
    w.PutBe32(kFixedPacket, found->fixedPacket);
    w.PutBe32(kSize, found->size);
    w.PutBe32(kLastRecorded, (found->validFlags & kLraValid) != 0 ? found->lastRecorded : 0);
    return CommandOutcome::Good(Trimmed(std::move(reply), cdb.GetBe16(7)));
}

CommandOutcome DiscMedium::ReadTocPmaAtip(CommandContext& context) {
    constexpr std::uint8_t kAdrControlData = 0x14; // ADR 1 (position), CONTROL 4 (data, uninterrupted)
    constexpr std::uint8_t kLeadOutTrack = 0xAA;
    const ByteReader cdb(context.cdb);
    const bool msf = (cdb.GetU8(1) & 0x02) != 0;
    std::uint8_t format = cdb.GetU8(2) & 0x0F;
    if (context.drive.identity.model.tocFormatInByte9 || (format == 0 && (cdb.GetU8(9) >> 6) != 0))
        format = static_cast<std::uint8_t>(cdb.GetU8(9) >> 6); // SFF-8020
    const std::uint8_t trackOrSession = cdb.GetU8(6);
    const std::uint16_t allocation = cdb.GetBe16(7);
    const DiscState& s = m_state;
    const std::vector<TrackView> tracks = TocTracks(s);
    std::vector<std::uint8_t> reply;

    if (format == 0) {
        if (tracks.empty()) return Check(sense::kInvalidFieldInCdb); // no complete session
        const std::uint32_t lastTrack = tracks.back().number;
        const std::uint32_t from = trackOrSession == 0 ? 1 : trackOrSession;
        if (from != kLeadOutTrack && from > lastTrack) return Check(sense::kInvalidFieldInCdb);
        const std::uint32_t leadOut = IsOverwritable(s) ? tracks.front().size : LastLeadOut(s);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> entries; // track, start
        if (from != kLeadOutTrack)
            for (const TrackView& t : tracks)
                if (t.number >= from) entries.emplace_back(t.number, t.start);
        entries.emplace_back(kLeadOutTrack, leadOut);
        reply.assign(4 + 8 * entries.size(), 0);
        ByteWriter w(reply);
        w.PutBe16(0, static_cast<std::uint16_t>(reply.size() - 2));
        w.PutU8(2, static_cast<std::uint8_t>(tracks.front().number));
        w.PutU8(3, static_cast<std::uint8_t>(lastTrack));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t at = 4 + 8 * i;
            w.PutU8(at + 1, kAdrControlData);
            w.PutU8(at + 2, static_cast<std::uint8_t>(entries[i].first));
            PutAddress(w, at + 4, entries[i].second, msf);
        }
    } else if (format == 1) {
        if (tracks.empty()) return Check(sense::kInvalidFieldInCdb);
        const std::uint16_t lastSession = tracks.back().session;
        const TrackView* first = nullptr;
        for (const TrackView& t : tracks)
            if (t.session == lastSession) {
                first = &t;
                break;
            }
        reply.assign(12, 0);
        ByteWriter w(reply);
        w.PutBe16(0, 0x000A);
        w.PutU8(2, 1);
        w.PutU8(3, static_cast<std::uint8_t>(lastSession));
        w.PutU8(5, kAdrControlData);
        w.PutU8(6, static_cast<std::uint8_t>(first->number));
        PutAddress(w, 8, first->start, msf);
    } else if (format == 4) {
        // ATIP exists on recordable CDs only; a pressed CD has none and DVD has no such format.
        if (!IsCd(s.kind) || IsPressed(s.kind)) return Check(sense::kInvalidFieldInCdb);
        constexpr std::uint8_t kWritingPowerAndSpeed = 0x80 | 0x50 | 0x01; // bit 7 set, power 5, speed 1
        constexpr std::uint8_t kUnrestrictedUse = 0x40;
        const std::uint8_t discType = s.kind == MediumKind::CdRw ? 0xC0 : 0x80; // bit 7 always, bit 6 RW
        reply.assign(28, 0);
        ByteWriter w(reply);
        w.PutBe16(0, 0x001A);
        w.PutU8(4, kWritingPowerAndSpeed);
        w.PutU8(5, kUnrestrictedUse);
        w.PutU8(6, discType);
        PutMsf(w, 7, geometry::kAtipLeadInLba); // B8-10 M S F (B7 stays 0)
        PutMsf(w, 11, geometry::kAtipLeadOutLba);
    } else {
        return Check(sense::kInvalidFieldInCdb);
    }
    return CommandOutcome::Good(Trimmed(std::move(reply), allocation));
}

CommandOutcome DiscMedium::ReadCapacity(CommandContext& /*context*/) {
    const DiscState& s = m_state;
    std::uint32_t blocks = 0; // blank or no complete session: last LBA 0
    if (IsPressed(s.kind))
        blocks = s.tracks.front().size;
    else if (IsOverwritable(s))
        blocks = IsVirginPlusRw(s) ? 0 : OverwritableSize(s);
    else
        blocks = LastLeadOut(s);
    std::vector<std::uint8_t> reply(8, 0);
    ByteWriter w(reply);
    w.PutBe32(0, blocks == 0 ? 0 : blocks - 1);
    w.PutBe32(4, static_cast<std::uint32_t>(kSectorSize));
    return CommandOutcome::Good(std::move(reply));
}

CommandOutcome DiscMedium::ReadFormatCapacities(CommandContext& context) {
    enum : std::uint8_t { kUnformatted = 1, kFormatted = 2, kNoCapacity = 3 };
    struct Descriptor {
        std::uint32_t blocks;
        std::uint8_t typeOrKind; // current descriptor: descriptor type; others: format type
        std::uint32_t parameter;
    };
    const DiscState& s = m_state;
    Descriptor current{CapacityBlocks(), kNoCapacity, kSectorSize};
    std::vector<Descriptor> formats;
    if (s.kind == MediumKind::DvdPlusRw) {
        current.typeOrKind = s.formatted ? kFormatted : kUnformatted;
        formats.push_back({geometry::kDvdPlusCapacity, 0x26, 0});
    } else if (s.kind == MediumKind::DvdRam) {
        current.typeOrKind = kFormatted;
        formats.push_back({geometry::kDvdRamDefaultCapacity, 0x00, kSectorSize});
        formats.push_back({geometry::kDvdRamMaximumCapacity, 0x00, kSectorSize});
        formats.push_back({geometry::kDvdRamDefaultCapacity, 0x01, 0});
    } else if (s.kind == MediumKind::DvdRw) {
        current.typeOrKind = IsOverwritable(s) ? kFormatted : kUnformatted;
        formats.push_back({geometry::kDvdRwFormattedCapacity, 0x00, kSectorSize});
        formats.push_back({geometry::kDvdRwFormattedCapacity, 0x10, geometry::kEccBlock});
        formats.push_back({geometry::kDvdRwFormattedCapacity, 0x15, 0});
    }
    std::vector<std::uint8_t> reply(4 + 8 * (1 + formats.size()), 0);
    ByteWriter w(reply);
    w.PutU8(3, static_cast<std::uint8_t>(reply.size() - 4));
    w.PutBe32(4, current.blocks);
    w.PutU8(8, current.typeOrKind);
    w.PutBe24(9, current.parameter);
    for (std::size_t i = 0; i < formats.size(); ++i) {
        const std::size_t at = 12 + 8 * i;
        w.PutBe32(at, formats[i].blocks);
        w.PutU8(at + 4, static_cast<std::uint8_t>(formats[i].typeOrKind << 2));
        w.PutBe24(at + 5, formats[i].parameter);
    }
    return CommandOutcome::Good(Trimmed(std::move(reply), ByteReader(context.cdb).GetBe16(7)));
}

CommandOutcome DiscMedium::Read10(CommandContext& context) {
    const ByteReader cdb(context.cdb);
    const std::uint32_t lba = cdb.GetBe32(2);
    const std::uint32_t count = cdb.GetBe16(7);
    const DiscState& s = m_state;
    if (!DriveReads(context.drive.identity.model, s.kind)) return Check(mediasense::kCannotReadMedium);
    if (count == 0) return CommandOutcome::Good();
    const std::uint64_t end = std::uint64_t{lba} + count;
    if (IsPressed(s.kind) || IsOverwritable(s)) {
        // Formatted overwritable media read every block of their track (unwritten ones as zeros).
        const std::uint32_t readable = IsPressed(s.kind) ? s.tracks.front().size
                                       : s.formatted     ? s.formattedBlocks
                                                         : s.recordedEnd;
        if (end > readable) return Check(sense::kLbaOutOfRange);
    } else {
        // Past the last recorded block the drive finds nothing at all; inside, the run-out blocks,
        // lead-outs and lead-ins between sessions and unwritten reserved blocks do not read.
        std::uint64_t lastRecordedEnd = 0;
        for (const TrackRecord& t : s.tracks)
            if (t.recorded != 0) lastRecordedEnd = std::uint64_t{t.start} + t.recorded;
        if (end > lastRecordedEnd) return Check(sense::kLbaOutOfRange);
        std::uint64_t at = lba;
        for (const TrackRecord& t : s.tracks) {
            const std::uint64_t recordedEnd = std::uint64_t{t.start} + t.recorded;
            if (at < t.start) break;
            if (at < recordedEnd) at = std::min<std::uint64_t>(end, recordedEnd);
            if (at >= end) break;
        }
        if (at < end) return Check(mediasense::kUnrecoveredReadError);
    }
    // Only what the host can take is read: the dispatcher cuts the reply to its buffer anyway.
    const std::uint64_t roomBlocks = (std::uint64_t{context.dataInRoom} + kSectorSize - 1) / kSectorSize;
    const auto blocks = static_cast<std::size_t>(std::min<std::uint64_t>(count, roomBlocks));
    std::vector<std::uint8_t> data(blocks * kSectorSize, 0);
    if (!context.drive.disc.Read(lba, data)) return Check(mediasense::kUnrecoveredReadError);
    return CommandOutcome::Good(std::move(data));
}

CommandOutcome DiscMedium::Write10(CommandContext& context) {
    const ByteReader cdb(context.cdb);
    const std::uint32_t lba = cdb.GetBe32(2);
    const std::uint32_t count = cdb.GetBe16(7);
    DiscState& s = m_state;
    if (IsPressed(s.kind) || !DriveWrites(context, ProfileOf(s)))
        return Check(mediasense::kCannotWriteMedium);
    if (s.writeProtected) return Check(mediasense::kWriteProtected);
    if (count == 0) return CommandOutcome::Good();
    const std::size_t bytes = std::size_t{count} * kSectorSize;
    if (context.dataOut.size() < bytes) return Check(sense::kInvalidFieldInCdb); // the data phase is short
    const std::uint64_t end = std::uint64_t{lba} + count;
    const WriteParameters& page = context.drive.writeParameters;

    std::optional<WritableTrack> next;
    if (IsOverwritable(s)) {
        if (s.kind == MediumKind::DvdRw && lba % geometry::kEccBlock != 0)
            return Check(sense::kInvalidAddressForWrite); // restricted overwrite: 32 KiB packets
        if (end > OverwritableSize(s)) return Check(sense::kLbaOutOfRange);
    } else {
        next = NextWritable(s);
        if (!next) return Check(sense::kInvalidAddressForWrite); // finalized or full: no NWA
        if (IsCd(s.kind) && page.Type() == WriteType::SessionAtOnce)
            return Check(sense::kCommandSequenceError); // session at once needs a cue sheet first
        const TrackRecord* target = next->track ? &s.tracks[*next->track] : nullptr;
        if (IsSequentialDvd(s) && !Simulating(context)) {
            const bool discAtOnceTrack = target && target->discAtOnce;
            if (page.Type() == WriteType::SessionAtOnce && !discAtOnceTrack)
                return Check(sense::kCommandSequenceError); // disc at once starts with RESERVE TRACK
            if (page.Type() == WriteType::Packet && s.rwMode == RwMode::MinimallyBlanked)
                return Check(mediasense::kIllegalModeForTrack);
        }
        const std::uint32_t nwa = next->nextWritable + (Simulating(context) ? m_simulatedBlocks : 0);
        if (lba != nwa) return Check(sense::kInvalidAddressForWrite);
        const std::uint64_t trackEnd =
            target && target->reserved ? std::uint64_t{target->start} + target->size : CapacityLimit(s);
        if (end > trackEnd) return Check(sense::kLbaOutOfRange);
    }
    if (!context.drive.mechanics.Accept(static_cast<std::uint32_t>(bytes), context.now))
        return Check(sense::kLongWriteInProgress); // buffer full: the host waits and sends it again
    if (!IsOverwritable(s) && Simulating(context)) {
        m_simulatedBlocks += count; // a test write moves the laser at writing power off
        return CommandOutcome::Good();
    }
    if (!context.drive.disc.Write(lba, context.dataOut.first(bytes))) return Check(sense::kWriteError);
    if (IsOverwritable(s)) {
        if (IsVirginPlusRw(s)) { // the drive formats the disc as it goes (DVD+RW quick start)
            s.formatted = true;
            s.formattedBlocks = CapacityLimit(s);
            s.background = BackgroundFormat::Suspended;
        }
        s.recordedEnd = static_cast<std::uint32_t>(std::max<std::uint64_t>(s.recordedEnd, end));
    } else if (next->track) {
        s.tracks[*next->track].recorded += count;
    } else {
        s.tracks.push_back(TrackRecord{.start = lba, .recorded = count, .session = next->session});
    }
    m_dirty = true;
    return CommandOutcome::Good();
}

std::optional<SenseCode> DiscMedium::CloseTrack(std::size_t index, std::uint32_t& blocksWritten) {
    TrackRecord& t = m_state.tracks[index];
    if (t.closed) return std::nullopt;
    if (t.reserved) {
        blocksWritten += t.size - t.recorded; // the drive pads what the host left unwritten
        t.recorded = t.size;
    } else if (IsCd(m_state.kind)) {
        t.size = t.recorded + geometry::kTaoRunOut;
        blocksWritten += geometry::kTaoRunOut;
    } else {
        t.size = RoundUp(t.recorded, geometry::kEccBlock);
        blocksWritten += t.size - t.recorded;
    }
    t.closed = true;
    if (t.discAtOnce) { // the one track of a disc-at-once recording: closing it closes the disc
        m_state.sessions.back().closed = true;
        m_state.finalized = true;
    }
    return std::nullopt;
}

std::optional<SenseCode> DiscMedium::CloseOpenSession(bool finalize, std::uint32_t& blocksWritten) {
    DiscState& s = m_state;
    const auto sessionNumber = static_cast<std::uint16_t>(s.sessions.size());
    if (s.tracks.empty() || s.tracks.back().session != sessionNumber) {
        // Nothing recorded in the open session: only a DVD+R can still be finalized.
        if (finalize && s.kind == MediumKind::DvdPlusR && ClosedSessions(s) != 0) {
            s.sessions.pop_back();
            s.finalized = true;
            blocksWritten += geometry::kDvdPlusSessionGap;
            return std::nullopt;
        }
        return sense::kCommandSequenceError;
    }
    TrackRecord& last = s.tracks.back();
    if (last.reserved && !last.closed && last.recorded == 0) return mediasense::kEmptyReservedTrack;
    if (last.reserved && !last.closed && last.recorded < last.size)
        return mediasense::kIncompleteTrackInSession;
    CloseTrack(s.tracks.size() - 1, blocksWritten);
    if (s.finalized) return std::nullopt; // a disc-at-once track closed the disc with it
    const bool firstSession = ClosedSessions(s) == 0;
    s.sessions.back().closed = true;
    const std::uint32_t leadOut = last.start + last.size;
    std::uint32_t nextStart = 0;
    if (IsCd(s.kind)) {
        blocksWritten +=
            geometry::kLeadIn + (firstSession ? geometry::kFirstLeadOut : geometry::kLaterLeadOut);
        nextStart =
            leadOut + (firstSession ? geometry::kFirstSessionOverhead : geometry::kLaterSessionOverhead);
    } else if (s.kind == MediumKind::DvdPlusR) {
        blocksWritten += geometry::kDvdPlusSessionGap;
        nextStart = RoundUp(leadOut, geometry::kEccBlock) + geometry::kDvdPlusSessionGap;
        if (s.sessions.size() >= geometry::kDvdPlusMaxSessions) finalize = true;
    } else {
        blocksWritten += geometry::kDvdMinusBorder;
        nextStart = RoundUp(leadOut, geometry::kEccBlock) + geometry::kDvdMinusBorder;
    }
    if (finalize) {
        s.finalized = true;
    } else {
        s.sessions.push_back(SessionRecord{.start = nextStart, .closed = false});
    }
    return std::nullopt;
}

CommandOutcome DiscMedium::CloseTrackSession(CommandContext& context) {
    const ByteReader cdb(context.cdb);
    const bool immediate = (cdb.GetU8(1) & 0x01) != 0;
    const std::uint8_t function = cdb.GetU8(2) & 0x07;
    const std::uint16_t trackNumber = cdb.GetBe16(4);
    DiscState& s = m_state;
    if (IsPressed(s.kind) || !DriveWrites(context, ProfileOf(s)))
        return Check(mediasense::kCannotWriteMedium);
    if (s.writeProtected) return Check(mediasense::kWriteProtected);
    const bool cd = IsCd(s.kind);
    context.drive.mechanics.EndStream(context.now); // closing ends the track: no underrun from here

    if (IsOverwritable(s)) {
        if (function > 2) return Check(sense::kInvalidFieldInCdb);
        // 000b stops a DVD+RW background format; closing a session makes the disc readable elsewhere
        // and stops it too. Nothing else is to be closed on an overwritable disc.
        if (s.kind == MediumKind::DvdPlusRw && s.background == BackgroundFormat::Running) {
            s.background = BackgroundFormat::Suspended;
            return Persisted(CommandOutcome::Good());
        }
        return CommandOutcome::Good();
    }
    if (Simulating(context)) { // a simulated recording closes nothing
        if (function != 1 && function != 2) return Check(sense::kInvalidFieldInCdb);
        m_simulatedBlocks = 0;
        return CommandOutcome::Good();
    }
    if (s.finalized) return Check(sense::kCommandSequenceError);
    std::uint32_t blocksWritten = 0;
    const milliseconds drain = DrainTime(context);
    if (function == 1) {
        const std::optional<WritableTrack> next = NextWritable(s);
        std::optional<std::size_t> index;
        if (trackNumber == 0xFF) { // the incomplete track; none open: nothing to close
            if (!next || !next->track) return CommandOutcome::Good();
            index = next->track;
        } else if (trackNumber >= 1 && trackNumber <= s.tracks.size()) {
            index = trackNumber - 1u;
        } else {
            return Check(sense::kInvalidFieldInCdb);
        }
        if (auto refusal = CloseTrack(*index, blocksWritten)) return Check(*refusal);
    } else if (function == 2 || (function == 5 && s.kind == MediumKind::DvdPlusR)) {
        // DVD+R stays appendable after a session close; CD and DVD-R/-RW follow page 05.
        const bool finalize =
            function == 5 || (s.kind != MediumKind::DvdPlusR &&
                              context.drive.writeParameters.Multi() != MultiSession::NextSessionAllowed);
        if (auto refusal = CloseOpenSession(finalize, blocksWritten)) return Check(*refusal);
    } else {
        return Check(sense::kInvalidFieldInCdb);
    }
    m_dirty = true;
    StartOperation(context, drain + WriteTime(context, blocksWritten, cd), sense::kOperationInProgress, false,
                   immediate);
    return Persisted(CommandOutcome::Good());
}

CommandOutcome DiscMedium::SynchronizeCache(CommandContext& context) {
    const bool immediate = (ByteReader(context.cdb).GetU8(1) & 0x02) != 0;
    DiscState& s = m_state;
    m_simulatedBlocks = 0;
    std::uint32_t blocksWritten = 0;
    context.drive.mechanics.EndStream(context.now); // the host has sent all it has for the track
    // Disc at once: once the data is flushed the drive pads the reserved track and closes the disc.
    if (!s.tracks.empty() && s.tracks.back().discAtOnce && !s.tracks.back().closed &&
        s.tracks.back().recorded != 0) {
        CloseTrack(s.tracks.size() - 1, blocksWritten);
        blocksWritten += geometry::kDvdMinusBorder; // the lead-out
        m_dirty = true;
    }
    const milliseconds duration = DrainTime(context) + WriteTime(context, blocksWritten, IsCd(s.kind));
    StartOperation(context, duration, sense::kLongWriteInProgress, true, immediate);
    if (!m_dirty) return CommandOutcome::Good();
    return Persisted(CommandOutcome::Good());
}

CommandOutcome DiscMedium::ReserveTrack(CommandContext& context) {
    const ByteReader cdb(context.cdb);
    if ((cdb.GetU8(1) & 0x01) != 0) return Check(sense::kInvalidFieldInCdb); // ARSV: by address, not here
    std::uint32_t size = cdb.GetBe32(5);
    DiscState& s = m_state;
    if (IsPressed(s.kind) || !DriveWrites(context, ProfileOf(s)))
        return Check(mediasense::kCannotWriteMedium);
    if (s.writeProtected) return Check(mediasense::kWriteProtected);
    if (IsOverwritable(s)) return Check(sense::kCommandSequenceError);
    if (size == 0) return Check(sense::kInvalidFieldInCdb);
    if (Simulating(context)) return CommandOutcome::Good();
    const std::optional<WritableTrack> next = NextWritable(s);
    if (!next || next->track) return Check(sense::kCommandSequenceError); // only the invisible track
    const WriteType type = context.drive.writeParameters.Type();
    if (IsCd(s.kind) && type == WriteType::SessionAtOnce) return Check(sense::kCommandSequenceError);
    const bool discAtOnce = IsSequentialDvd(s) && type == WriteType::SessionAtOnce;
    if (discAtOnce && !s.tracks.empty()) return Check(sense::kCommandSequenceError);
    if (!IsCd(s.kind)) size = RoundUp(size, geometry::kEccBlock);
    if (std::uint64_t{next->start} + size > CapacityLimit(s)) return Check(sense::kInvalidFieldInCdb);
    s.tracks.push_back(TrackRecord{.start = next->start,
                                   .size = size,
                                   .session = next->session,
                                   .reserved = true,
                                   .discAtOnce = discAtOnce});
    m_dirty = true;
    return Persisted(CommandOutcome::Good());
}

CommandOutcome DiscMedium::Blank(CommandContext& context) {
    const ByteReader cdb(context.cdb);
    const bool immediate = (cdb.GetU8(1) & 0x10) != 0;
    const std::uint8_t type = cdb.GetU8(1) & 0x07;
    DiscState& s = m_state;
    if ((s.kind != MediumKind::CdRw && s.kind != MediumKind::DvdRw) || !DriveWrites(context, ProfileOf(s)))
        return Check(mediasense::kCannotFormatMedium); // not erasable by BLANK
    if (s.writeProtected) return Check(mediasense::kWriteProtected);
    if (type > 1) return Check(sense::kInvalidFieldInCdb); // full and minimal blanking only
    const bool cd = s.kind == MediumKind::CdRw;
    const std::uint32_t blocks = type == 0 ? CapacityLimit(s) : cd ? kMinimalBlankCdBlocks : kQuickDvdBlocks;
    DiscState blank = BlankDisc(s.kind);
    if (s.kind == MediumKind::DvdRw) blank.rwMode = type == 0 ? RwMode::Sequential : RwMode::MinimallyBlanked;
    if (!context.drive.disc.Truncate(0)) return Check(sense::kWriteError);
    s = blank;
    m_simulatedBlocks = 0;
    context.drive.mechanics.SetMediumProfile(ProfileOf(s));
    StartOperation(context, EraseTime(context, blocks, s.kind), sense::kOperationInProgress, true, immediate);
    m_dirty = true;
    return Persisted(CommandOutcome::Good());
}

CommandOutcome DiscMedium::FormatUnit(CommandContext& context) {
    constexpr std::uint8_t kFormatData = 0x10, kFormatCodeMask = 0x07;
    constexpr std::uint8_t kImmediate = 0x02, kDisableCertification = 0x20;
    constexpr std::size_t kListLength = 12;
    const ByteReader cdb(context.cdb);
    const std::uint8_t flags = cdb.GetU8(1);
    DiscState& s = m_state;
    const bool formattable =
        s.kind == MediumKind::DvdPlusRw || s.kind == MediumKind::DvdRam || s.kind == MediumKind::DvdRw;
    if (!formattable || !DriveWrites(context, ProfileOf(s))) return Check(mediasense::kCannotFormatMedium);
    if (s.writeProtected) return Check(mediasense::kWriteProtected);
    if ((flags & kFormatData) == 0 || (flags & kFormatCodeMask) != 1) return Check(sense::kInvalidFieldInCdb);
    const ByteReader list(context.dataOut);
    if (context.dataOut.size() < kListLength || list.GetBe16(2) != 8)
        return Check(sense::kInvalidFieldInParameterList);
    const bool immediate = (list.GetU8(1) & kImmediate) != 0;
    const std::uint32_t blocks = list.GetBe32(4);
    const std::uint8_t formatType = list.GetU8(8) >> 2;
    const std::uint32_t parameter = list.GetBe24(9);
    const SenseCode bad = sense::kInvalidFieldInParameterList;

    DiscState formatted = s;
    formatted.tracks.clear();
    formatted.sessions.clear();
    formatted.finalized = false;
    formatted.recordedEnd = 0;
    formatted.formatted = true;
    std::uint32_t passBlocks = 0;
    bool background = false;
    switch (s.kind) {
    case MediumKind::DvdPlusRw: {
        if (formatType != 0x26) return Check(bad);
        if (blocks != 0 && blocks != 0xFFFFFFFFu && blocks > geometry::kDvdPlusCapacity) return Check(bad);
        const bool restart = (parameter & 0x01) != 0;
        if (restart && s.formatted && s.background == BackgroundFormat::Suspended) {
            formatted = s; // resumes where it stopped; what is written stays
        }
        formatted.formattedBlocks = geometry::kDvdPlusCapacity;
        formatted.background = BackgroundFormat::Running;
        passBlocks = geometry::kDvdPlusCapacity;
        background = true;
        break;
    }
    case MediumKind::DvdRam:
        if (formatType == 0x00 && parameter != kSectorSize) return Check(bad);
        if (formatType != 0x00 && formatType != 0x01) return Check(bad);
        if (blocks == 0 || blocks > geometry::kDvdRamMaximumCapacity) return Check(bad);
        formatted.formattedBlocks = blocks;
        // Certification reads every block back after writing it.
        passBlocks = (list.GetU8(1) & kDisableCertification) != 0 ? blocks : 2 * blocks;
        break;
    case MediumKind::DvdRw:
        if (formatType != 0x00 && formatType != 0x10 && formatType != 0x15) return Check(bad);
        if (blocks > geometry::kDvdRwFormattedCapacity) return Check(bad);
        formatted.rwMode = RwMode::RestrictedOverwrite;
        formatted.formattedBlocks = geometry::kDvdRwFormattedCapacity;
        passBlocks = formatType == 0x15 ? kQuickDvdBlocks : geometry::kDvdRwFormattedCapacity;
        break;
    default: return Check(mediasense::kCannotFormatMedium);
    }
    const bool keepsData = formatted.recordedEnd != 0;
    if (!keepsData && !context.drive.disc.Truncate(0)) return Check(sense::kWriteError);
    s = formatted;
    m_simulatedBlocks = 0;
    context.drive.mechanics.SetMediumProfile(ProfileOf(s));
    const milliseconds duration = EraseTime(context, passBlocks, s.kind);
    if (background) {
        // The command returns once formatting has started; the drive stays ready meanwhile.
        m_backgroundUntil = context.now + duration;
        context.drive.mechanics.DiscardBuffer(context.now);
    } else {
        StartOperation(context, duration, sense::kFormatInProgress, true, immediate);
    }
    m_dirty = true;
    return Persisted(CommandOutcome::Good());
}

} // namespace lorvane::recorder
