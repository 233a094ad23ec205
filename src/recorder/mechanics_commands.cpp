#include "recorder/mechanics_commands.h"

#include "recorder/virtual_drive.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <array>
#include <optional>

namespace lorvane::recorder {

namespace {

constexpr std::uint8_t kOpRezeroUnit = 0x01;
constexpr std::uint8_t kOpSendDvdStructure = 0xBF;

constexpr SenseCode kMediumRemovalPrevented = MakeSense(sensekey::kIllegalRequest, 0x53, 0x02);
// SPC-3: cannot write medium, incompatible format.
constexpr SenseCode kCannotWriteIncompatible = MakeSense(sensekey::kIllegalRequest, 0x30, 0x05);

// MMC-5 5.2.2: D2 bits 2-5 version, bit 1 persistent, bit 0 current.
constexpr std::uint8_t kPersistent = 0x02, kCurrent = 0x01;

struct Feature {
    std::uint16_t code;
    std::uint8_t version;
    bool persistent;
    bool current;
    std::vector<std::uint8_t> data; // from D4 on, a multiple of 4 bytes
};

bool IsDvdRWriteProfile(std::uint16_t p) {
    return p == profile::kDvdR || p == profile::kDvdRwSequential || p == profile::kDvdRDualLayer ||
           p == profile::kDvdRDualLayerJump;
}

// The profiles in the order a real DVD writer listed them (not sorted).
std::vector<std::uint16_t> SupportedProfiles(const DriveModel& model) {
    std::vector<std::uint16_t> profiles;
    if (model.readsDvd) {
        if (model.readsDvdRam || model.writesDvdRam) profiles.push_back(profile::kDvdRam);
        profiles.push_back(profile::kDvdR);
        if (model.writesDvdRDualLayer) {
            profiles.push_back(profile::kDvdRDualLayer);
            profiles.push_back(profile::kDvdRDualLayerJump);
        }
        profiles.push_back(profile::kDvdRwSequential);
        profiles.push_back(profile::kDvdRwRestricted);
        profiles.push_back(profile::kDvdPlusRw);
        profiles.push_back(profile::kDvdPlusR);
        profiles.push_back(profile::kDvdRom);
    }
    profiles.push_back(profile::kCdR);
    profiles.push_back(profile::kCdRw);
    profiles.push_back(profile::kCdRom);
    return profiles;
}

std::vector<Feature> Features(const DriveModel& model, std::uint16_t current) {
    std::vector<Feature> features;

    const std::vector<std::uint16_t> profiles = SupportedProfiles(model);
    std::vector<std::uint8_t> list(4 * profiles.size(), 0);
    transport::ByteWriter lw(list);
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        lw.PutBe16(4 * i, profiles[i]);
        lw.PutU8(4 * i + 2, profiles[i] == current ? 0x01 : 0x00); // CurrentP
    }
    features.push_back({feature::kProfileList, 0, true, true, std::move(list)});

    // Core, version 2: physical interface 00000002h (ATAPI), DBE set.
    features.push_back({feature::kCore, 2, true, true, {0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00}});
    // Removable Medium: tray loading mechanism (001b), Eject, Lock.
    features.push_back({feature::kRemovableMedium, 0, true, true, {0x29, 0x00, 0x00, 0x00}});

    if (model.readsDvd) {
        features.push_back(
            {feature::kDvdPlusRw,
             0,
             false,
             current == profile::kDvdPlusRw,
             {static_cast<std::uint8_t>(model.writesDvdPlus ? 0x01 : 0x00), 0x00, 0x00, 0x00}});
        features.push_back(
            {feature::kDvdPlusR,
             0,
             false,
             current == profile::kDvdPlusR,
             {static_cast<std::uint8_t>(model.writesDvdPlus ? 0x01 : 0x00), 0x00, 0x00, 0x00}});
    }
    if (model.writesCdR || model.writesCdRw) {
        const bool usable =
            (current == profile::kCdR && model.writesCdR) || (current == profile::kCdRw && model.writesCdRw);
        std::uint8_t flags = 0;
        if (model.underrunProtection) flags |= 0x40; // BUF
        if (model.testWrite) flags |= 0x04;
        if (model.writesCdRw) flags |= 0x02;
        // Data types: raw (0), Mode 1 (8), Mode 2 Form 1 (10).
        features.push_back({feature::kCdTrackAtOnce, 2, false, usable, {flags, 0x00, 0x05, 0x01}});
    }
    if (model.writesDvdR) {
        const bool dualLayer = current == profile::kDvdRDualLayer || current == profile::kDvdRDualLayerJump;
        const bool usable = IsDvdRWriteProfile(current) && (!dualLayer || model.writesDvdRDualLayer);
        std::uint8_t flags = 0x02; // DVD-RW
        if (model.underrunProtection) flags |= 0x40;
        if (model.writesDvdRDualLayer) flags |= 0x08;
        if (model.testWrite) flags |= 0x04;
        features.push_back({feature::kDvdRWrite, 1, false, usable, {flags, 0x00, 0x00, 0x00}});
    }
    return features;
}

void Append(std::vector<std::uint8_t>& out, const Feature& f) {
    const std::size_t at = out.size();
    out.resize(at + 4 + f.data.size(), 0);
    transport::ByteWriter w(out);
    w.PutBe16(at, f.code);
    w.PutU8(at + 2, static_cast<std::uint8_t>((f.version & 0x0F) << 2 | (f.persistent ? kPersistent : 0) |
                                              (f.current ? kCurrent : 0)));
    w.PutU8(at + 3, static_cast<std::uint8_t>(f.data.size()));
    std::copy(f.data.begin(), f.data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

// Every handler first tells the mechanics which medium kind it is rounding speeds for.
std::uint16_t SyncProfile(DriveState& state) {
    const std::uint16_t p = LoadedProfile(state);
    state.mechanics.SetMediumProfile(p);
    return p;
}

// MMC-5 6.6: RT (byte 1 bits 0-1), starting feature (bytes 2-3), allocation length (bytes 7-8).
CommandOutcome GetConfiguration(CommandContext& context) {
    constexpr std::size_t kRequestTypeAt = 1, kStartAt = 2, kAllocationAt = 7;
    const transport::ByteReader cdb(context.cdb);
    const auto requestType = static_cast<std::uint8_t>(cdb.GetU8(kRequestTypeAt) & 0x03);
    if (requestType == 3) return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    const std::uint16_t current = SyncProfile(context.drive);
    return CommandOutcome::Good(
        Trimmed(ConfigurationData(context.drive.identity.model, current, requestType, cdb.GetBe16(kStartAt)),
                cdb.GetBe16(kAllocationAt)));
}

// MMC-5 6.37: rotational control (byte 1 bits 0-1: 0 CLV, 1 CAV), read speed (bytes 2-3), write speed
// (bytes 4-5), kB/s. Taken without a medium too; the speeds are rounded for the medium kind.
CommandOutcome SetCdSpeed(CommandContext& context) {
    constexpr std::size_t kRotationAt = 1, kReadAt = 2, kWriteAt = 4;
    const transport::ByteReader cdb(context.cdb);
    if ((cdb.GetU8(kRotationAt) & 0x03) > 1) return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    SyncProfile(context.drive);
    context.drive.mechanics.SetSpeedsAt(cdb.GetBe16(kReadAt), cdb.GetBe16(kWriteAt), context.now);
    return CommandOutcome::Good();
}

// A size over a time as kB/s, FFFFh (fastest) when beyond what the field can hold.
std::uint16_t SpeedKBs(std::uint32_t sizeKB, std::uint32_t timeMs) {
    const std::uint64_t speed = std::uint64_t{sizeKB} * 1000 / timeMs;
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(speed, 0xFFFF));
}

// MMC-5 6.39: type (byte 8, 00h = performance descriptor), parameter list length (bytes 9-10); the
// 28-byte descriptor: byte 0 bit 2 RDD, start LBA 4-7, end LBA 8-11, read size 12-15 (kB), read time
// 16-19 (ms), write size 20-23, write time 24-27.
CommandOutcome SetStreaming(CommandContext& context) {
    constexpr std::size_t kTypeAt = 8, kLengthAt = 9;
    constexpr std::size_t kFlagsAt = 0, kStartLbaAt = 4, kEndLbaAt = 8, kReadSizeAt = 12, kReadTimeAt = 16,
                          kWriteSizeAt = 20, kWriteTimeAt = 24, kDescriptorLength = 28;
    constexpr std::uint8_t kRdd = 0x04;
    const transport::ByteReader cdb(context.cdb);
    if (cdb.GetU8(kTypeAt) != 0) return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    const std::size_t listLength = cdb.GetBe16(kLengthAt);
    if (listLength < kDescriptorLength || context.dataOut.size() < kDescriptorLength)
        return CommandOutcome::Check(sense::kInvalidFieldInParameterList);
    const transport::ByteReader d(context.dataOut);
    SyncProfile(context.drive);
    if ((d.GetU8(kFlagsAt) & kRdd) != 0) { // restore the drive's own (fastest) speeds
        context.drive.mechanics.SetSpeedsAt(0xFFFF, 0xFFFF, context.now);
        return CommandOutcome::Good();
    }
    const std::uint32_t readTime = d.GetBe32(kReadTimeAt), writeTime = d.GetBe32(kWriteTimeAt);
    if (d.GetBe32(kEndLbaAt) < d.GetBe32(kStartLbaAt) || readTime == 0 || writeTime == 0)
        return CommandOutcome::Check(sense::kInvalidFieldInParameterList);
    context.drive.mechanics.SetSpeedsAt(SpeedKBs(d.GetBe32(kReadSizeAt), readTime),
                                        SpeedKBs(d.GetBe32(kWriteSizeAt), writeTime), context.now);
    return CommandOutcome::Good();
}

// MMC-5 6.24: Block (byte 1 bit 0), allocation length (bytes 7-8). Answered without a medium too.
CommandOutcome ReadBufferCapacity(CommandContext& context) {
    constexpr std::size_t kBlockAt = 1, kAllocationAt = 7;
    constexpr std::size_t kDataLengthAt = 0, kLengthAt = 4, kFreeAt = 8, kReplyLength = 12;
    constexpr std::uint32_t kBlockBytes = 2048;
    const transport::ByteReader cdb(context.cdb);
    SyncProfile(context.drive);
    const DriveMechanics& mechanics = context.drive.mechanics;
    const std::uint32_t free = mechanics.BufferFree(context.now);
    std::vector<std::uint8_t> reply(kReplyLength, 0);
    transport::ByteWriter w(reply);
    w.PutBe16(kDataLengthAt, static_cast<std::uint16_t>(kReplyLength - 2));
    if ((cdb.GetU8(kBlockAt) & 0x01) != 0) {
        w.PutBe32(kFreeAt, free / kBlockBytes);
    } else {
        w.PutBe32(kLengthAt, mechanics.BufferBytes());
        w.PutBe32(kFreeAt, free);
    }
    return CommandOutcome::Good(Trimmed(std::move(reply), cdb.GetBe16(kAllocationAt)));
}

// SBC/MMC START STOP UNIT: Immed (byte 1 bit 0), power conditions (byte 4 bits 4-7), LoEj (bit 1),
// Start (bit 0). LoEj with Start clear opens the tray, with Start set closes it; the disc stays in
// the tray either way. Tray moves are instant here, so Immed changes nothing.
CommandOutcome StartStopUnit(CommandContext& context) {
    constexpr std::size_t kControlAt = 4;
    constexpr std::uint8_t kLoEj = 0x02, kStart = 0x01, kPowerConditions = 0xF0;
    const std::uint8_t control = transport::ByteReader(context.cdb).GetU8(kControlAt);
    SyncProfile(context.drive);
    if ((control & kPowerConditions) != 0 || (control & kLoEj) == 0) return CommandOutcome::Good();
    if ((control & kStart) == 0) {
        if (context.drive.mechanics.RemovalPrevented()) return CommandOutcome::Check(kMediumRemovalPrevented);
        context.drive.tray = TrayState::Open;
    } else {
        context.drive.tray = TrayState::Closed;
    }
    SyncProfile(context.drive);
    return CommandOutcome::Good();
}

// SPC-3 6.13 / MMC-5 6.15: Prevent (byte 4 bits 0-1; bit 0 locks, bit 1 is the persistent form).
CommandOutcome PreventAllowMediumRemoval(CommandContext& context) {
    constexpr std::size_t kPreventAt = 4;
    context.drive.mechanics.PreventRemoval((transport::ByteReader(context.cdb).GetU8(kPreventAt) & 0x01) !=
                                           0);
    return CommandOutcome::Good();
}

// REZERO UNIT: a seek to LBA 0, which needs a disc.
CommandOutcome RezeroUnit(CommandContext& context) {
    if (const auto notReady = context.drive.NotReadySense(context.now))
        return CommandOutcome::Check(*notReady);
    return CommandOutcome::Good();
}

// MMC-5 6.33: DoOpc (byte 1 bit 0), parameter list length (bytes 7-8). Power calibration needs a
// disc this drive can write.
CommandOutcome SendOpcInformation(CommandContext& context) {
    if (const auto notReady = context.drive.NotReadySense(context.now))
        return CommandOutcome::Check(*notReady);
    const std::uint16_t p = SyncProfile(context.drive);
    if (!WritesProfile(context.drive.identity.model, p))
        return CommandOutcome::Check(kCannotWriteIncompatible);
    return CommandOutcome::Good();
}

// MMC-5 6.34: format (byte 7), parameter list length (bytes 8-9). Only the DVD-R/-RW time stamp
// (format 0Fh) is taken: 4-byte header, 4 reserved bytes, then "yyyymmddhhmmss" in ASCII digits.
CommandOutcome SendDvdStructure(CommandContext& context) {
    constexpr std::size_t kFormatAt = 7, kLengthAt = 8;
    constexpr std::uint8_t kTimeStamp = 0x0F;
    constexpr std::size_t kTimeAt = 8, kTimeDigits = 14, kTimeStampLength = kTimeAt + kTimeDigits;
    if (const auto notReady = context.drive.NotReadySense(context.now))
        return CommandOutcome::Check(*notReady);
    const std::uint16_t p = SyncProfile(context.drive);
    const DriveModel& model = context.drive.identity.model;
    if (!IsDvdProfile(p) || !WritesProfile(model, p)) return CommandOutcome::Check(kCannotWriteIncompatible);
    const transport::ByteReader cdb(context.cdb);
    const bool dvdMinus = IsDvdRWriteProfile(p) || p == profile::kDvdRwRestricted;
    if (cdb.GetU8(kFormatAt) != kTimeStamp || !dvdMinus)
        return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    const std::size_t length = cdb.GetBe16(kLengthAt);
    if (length == 0) return CommandOutcome::Good(); // SPC: a zero-length list is no error
    if (length < kTimeStampLength || context.dataOut.size() < kTimeStampLength)
        return CommandOutcome::Check(sense::kInvalidFieldInParameterList);
    const auto digits = context.dataOut.subspan(kTimeAt, kTimeDigits);
    if (!std::all_of(digits.begin(), digits.end(), [](std::uint8_t c) { return c >= '0' && c <= '9'; }))
        return CommandOutcome::Check(sense::kInvalidFieldInParameterList);
    return CommandOutcome::Good();
}

} // namespace

std::uint16_t LoadedProfile(const DriveState& state) {
    if (state.tray == TrayState::Open || !state.medium) return profile::kNone;
    return state.medium->CurrentProfile();
}

bool WritesProfile(const DriveModel& model, std::uint16_t p) {
    switch (p) {
    case profile::kCdR: return model.writesCdR;
    case profile::kCdRw: return model.writesCdRw;
    case profile::kDvdR:
    case profile::kDvdRwRestricted:
    case profile::kDvdRwSequential: return model.writesDvdR;
    case profile::kDvdRDualLayer:
    case profile::kDvdRDualLayerJump: return model.writesDvdR && model.writesDvdRDualLayer;
    case profile::kDvdRam: return model.writesDvdRam;
    case profile::kDvdPlusRw:
    case profile::kDvdPlusR: return model.writesDvdPlus;
    default: return false;
    }
}

std::vector<std::uint8_t> ConfigurationData(const DriveModel& model, std::uint16_t currentProfile,
                                            std::uint8_t requestType, std::uint16_t startFeature) {
    constexpr std::size_t kDataLengthAt = 0, kCurrentProfileAt = 6, kHeaderLength = 8;
    std::vector<std::uint8_t> reply(kHeaderLength, 0);
    for (const Feature& f : Features(model, currentProfile)) {
        const bool wanted = requestType == 2 ? f.code == startFeature
                                             : f.code >= startFeature && (requestType == 0 || f.current);
        if (wanted) Append(reply, f);
    }
    transport::ByteWriter w(reply);
    w.PutBe32(kDataLengthAt, static_cast<std::uint32_t>(reply.size() - 4));
    w.PutBe16(kCurrentProfileAt, currentProfile);
    return reply;
}

void RegisterMechanicsCommands(CommandTable& table, const DriveModel& model) {
    if (model.getConfiguration) table.Register(op::kGetConfiguration, GetConfiguration);
    table.Register(op::kSetCdSpeed, SetCdSpeed);
    table.Register(op::kSetStreaming, SetStreaming);
    table.Register(op::kReadBufferCapacity, ReadBufferCapacity);
    table.Register(op::kStartStopUnit, StartStopUnit);
    table.Register(op::kPreventAllowRemoval, PreventAllowMediumRemoval);
    table.Register(kOpRezeroUnit, RezeroUnit);
    table.Register(op::kSendOpcInformation, SendOpcInformation);
    table.Register(kOpSendDvdStructure, SendDvdStructure);
}

} // namespace lorvane::recorder
