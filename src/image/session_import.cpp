// Reading a session of a disc back into the compilation tree, and copying its files out.
//
// Discs come from anywhere, so every record is checked against the sector that holds it: a record is
// taken only when its length covers its fixed part and its identifier and it ends inside its sector
// (ECMA-119 6.8.1.1: records never cross a sector end); the walk advances by the record's own length, so
// system-use data (Rock Ridge, CD-XA) is passed over; a directory sector is read once per import however
// often records point at it or at sectors before it (the extents of two directories never overlap), so a
// crafted disc cannot make the walk read the same sectors over and over; and no directory is read deeper
// than the tree's level limit.

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "drive/disc_info.h"
#include "image/orbel_burner.h"
#include "transport/byte_order.h"

namespace lorvane::image {

namespace {

constexpr std::size_t kSector = 2048;
constexpr int kDescriptorSearchFirst = 16;
constexpr int kDescriptorSearchLast = 36;
constexpr std::size_t kTocLength = 254;
constexpr std::uint32_t kLeadInFrames = 150; // MSF 00:02:00 is block 0 (MMC)
constexpr std::size_t kMaxIsoIdentifier = 239;
constexpr std::int32_t kExtractChunk = 63488; // 31 sectors
constexpr std::uint8_t kLogInfo = 1;
constexpr std::uint8_t kLogPath = 4;
constexpr const char* kNameTooLong = "ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS";

namespace rec { // ECMA-119 9.1 directory record
constexpr std::size_t kLength = 0, kExtent = 2, kDataLength = 10, kDate = 18, kFlags = 25, kNameLength = 32,
                      kName = 33;
constexpr std::uint8_t kHidden = 0x01, kDirectory = 0x02;
} // namespace rec

namespace vd { // ECMA-119 8.1 volume descriptor
constexpr std::size_t kType = 0, kStandardId = 1, kRootRecord = 156;
constexpr std::uint8_t kPrimary = 1, kSupplementary = 2, kTerminator = 0xFF;
} // namespace vd

std::string Formatted(const char* format, int value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool IsDescriptor(const std::array<std::uint8_t, kSector>& sector, std::uint8_t type) {
    return sector[vd::kType] == type && std::memcmp(&sector[vd::kStandardId], "CD001", 5) == 0;
}

// Days since 1899-12-30 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t unixDays = std::int64_t{era} * 146097 + dayOfEra - 719468;
    return unixDays + 25569;
}

unsigned DaysInMonth(int year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The recording date of a directory record (ECMA-119 9.1.5) as a local date-time; the GMT offset is not
// applied. Fields out of range are held at the nearest valid value, so one bad date never ends an import.
double RecordDate(const std::uint8_t* date) {
    const int year = 1900 + date[0];
    const unsigned month = std::clamp<unsigned>(date[1], 1, 12);
    const unsigned day = std::clamp<unsigned>(date[2], 1, DaysInMonth(year, month));
    const unsigned hour = std::min<unsigned>(date[3], 23);
    const unsigned minute = std::min<unsigned>(date[4], 59);
    const unsigned second = std::min<unsigned>(date[5], 59);
    return static_cast<double>(DaysFromCivil(year, month, day)) +
           (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A Joliet identifier (big-endian UTF-16) as UTF-8; a lone surrogate becomes U+FFFD. The version
// suffix goes: the name ends at its first ";" (Joliet names cannot hold one).
std::string JolietName(const std::uint8_t* identifier, std::size_t length) {
    std::string name;
    const std::size_t units = length / 2;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t c = static_cast<char32_t>(identifier[2 * i] << 8 | identifier[2 * i + 1]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const auto low = static_cast<char32_t>(identifier[2 * i + 2] << 8 | identifier[2 * i + 3]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c == ';') break;
        if (c == 0) c = '_';
        AppendUtf8(name, c);
    }
    return name;
}

// An ISO 9660 identifier up to its ";" version suffix; bytes that would end or split the name go.
std::string IsoName(const std::uint8_t* identifier, std::size_t length) {
    std::string name;
    for (std::size_t i = 0; i < length && identifier[i] != ';'; ++i)
        name += identifier[i] == 0 ? '_' : static_cast<char>(identifier[i]);
    return name;
}

// The system use area of a record (ECMA-119 9.1.13): after the identifier and its padding byte.
std::size_t SystemUseStart(const std::uint8_t* record) {
    const std::size_t nameLength = record[rec::kNameLength];
    return rec::kName + nameLength + (nameLength % 2 == 0 ? 1 : 0);
}

namespace susp { // SUSP 1.12 system use entries: signature, length, version, data
constexpr std::size_t kSignature = 0, kLength = 2, kHeader = 4;
constexpr std::size_t kSpCheck = 4, kSpSkip = 6, kSpLength = 7;
constexpr std::size_t kNmFlags = 4, kNmName = 5;
constexpr std::uint8_t kNmContinue = 0x01, kNmCurrent = 0x02, kNmParent = 0x04;
} // namespace susp

bool IsEntry(const std::uint8_t* entry, const char* signature) {
    return entry[susp::kSignature] == signature[0] && entry[susp::kSignature + 1] == signature[1];
}

// The SUSP indicator (SUSP 1.12 5.3): the first entry of the root's own record, "SP" with the check
// bytes BEh EFh; its last byte is how many bytes every other record skips before its entries.
std::optional<std::size_t> SuspSkip(const std::uint8_t* record, std::size_t length) {
    const std::size_t at = SystemUseStart(record);
    if (at + susp::kSpLength > length) return std::nullopt;
    const std::uint8_t* entry = record + at;
    if (!IsEntry(entry, "SP") || entry[susp::kLength] < susp::kSpLength || entry[susp::kSpCheck] != 0xBE ||
        entry[susp::kSpCheck + 1] != 0xEF)
        return std::nullopt;
    return entry[susp::kSpSkip];
}

// The Rock Ridge name of a record (RRIP 1.12 4.1.4): its NM entries joined. Only entries that lie
// wholly inside the record are read; a name continued in a continuation area (CE), or an NM that
// stands for "." or "..", gives none, and the ISO 9660 name stays.
std::optional<std::string> RockRidgeName(const std::uint8_t* record, std::size_t length, std::size_t skip) {
    std::size_t at = SystemUseStart(record) + skip;
    std::string name;
    bool continues = false;
    bool found = false;
    while (at + susp::kHeader <= length) {
        const std::uint8_t* entry = record + at;
        const std::size_t entryLength = entry[susp::kLength];
        if (entryLength < susp::kHeader || at + entryLength > length) break;
        if (IsEntry(entry, "ST")) break; // SUSP 5.4: the end of the entries
        if (IsEntry(entry, "NM") && entryLength > susp::kNmFlags) {
            const std::uint8_t flags = entry[susp::kNmFlags];
            if (flags & (susp::kNmCurrent | susp::kNmParent)) return std::nullopt;
            name.append(reinterpret_cast<const char*>(entry + susp::kNmName), entryLength - susp::kNmName);
            continues = (flags & susp::kNmContinue) != 0;
            found = true;
        }
        at += entryLength;
    }
    // "." and ".." name no file: such a record keeps its ISO 9660 name rather than being lost.
    if (!found || continues || name.empty() || name == "." || name == "..") return std::nullopt;
    return name;
}

// Local date-time (days since 1899-12-30) as seconds since 1970, for the extracted file's date.
std::time_t UnixFromLocalDateTime(double dateTime) {
    const double seconds = (dateTime - 25569.0) * 86400.0;
    std::time_t local = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&local, &parts);
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

} // namespace

bool TOrbelBurner::ImportDiscSession(int sessionNo, TDEntry* target) {
    if (!target) target = Root;
    m_importIncomplete = false;
    const std::uint8_t last = GetLastSession();
    if (last == 0) return false;
    if (sessionNo == -1 || sessionNo > last) sessionNo = last;
    if (sessionNo == 0) return false;
    AddDebugMessage(">>> " + Formatted("IMPORTING SESSION # %d", sessionNo), kLogInfo);
    const std::string failed = ">>> ERROR IMPORTING SESSION # " + std::to_string(sessionNo);
    if (sessionNo < 0) {
        AddDebugMessage(failed, kLogPath);
        return false;
    }

    std::array<std::uint8_t, kTocLength> toc{};
    if (!ReadTOC(0, toc, static_cast<std::uint8_t>(kTocLength), static_cast<std::uint8_t>(sessionNo), true,
                 0)) {
        AddDebugMessage(failed, kLogPath);
        return false;
    }
    // The first track descriptor follows the 4-byte header; its address is at bytes 8-11 (MSF).
    const std::uint32_t tocLength = transport::ByteReader(toc).GetBe16(0);
    const std::uint32_t frames = drive::MSFToFrames(0, toc[9], toc[10], toc[11]);
    if (tocLength < 10 || frames < kLeadInFrames) {
        AddDebugMessage(failed, kLogPath);
        return false;
    }
    const std::uint32_t start = frames - kLeadInFrames;

    m_importedSectors.clear();
    m_importedRecords = 0;
    std::array<std::uint8_t, kSector> descriptor{};
    for (const bool joliet : {true, false}) {
        for (int offset = kDescriptorSearchFirst; offset <= kDescriptorSearchLast; ++offset) {
            descriptor.fill(0);
            (void)ReadSectors(start + static_cast<std::uint32_t>(offset), 1, descriptor);
            if (IsDescriptor(descriptor, joliet ? vd::kSupplementary : vd::kPrimary)) {
                const transport::ByteReader root(
                    std::span<const std::uint8_t>(descriptor).subspan(vd::kRootRecord, 34));
                const std::uint32_t extent = root.GetLe32(rec::kExtent);
                const std::uint32_t size = root.GetLe32(rec::kDataLength);
                if (joliet)
                    ReadJolietDirectory(extent, size, target);
                else
                    ReadISODirectory(extent, size, target);
                if (m_importIncomplete)
                    AddDebugMessage(">>> " + Formatted("SESSION # %d COULD NOT BE READ IN FULL", sessionNo),
                                    kLogInfo);
                return true;
            }
            if (IsDescriptor(descriptor, vd::kTerminator)) break;
        }
    }
    AddDebugMessage(">>> " + Formatted("ERROR IMPORTING SESSION %d (ISO IMAGE NOT FOUND)", sessionNo),
                    kLogPath);
    return false;
}

bool TOrbelBurner::ReadJolietDirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir) {
    return ReadImportedDirectory(extent, size, dir, true, 0);
}

bool TOrbelBurner::ReadISODirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir) {
    return ReadImportedDirectory(extent, size, dir, false, 0);
}

bool TOrbelBurner::ReadImportedDirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir, bool joliet,
                                         int depth) {
    if (!dir || depth >= kMaxDirectoryLevel) return false;
    if (depth == 0) m_suspSkip = -1;

    bool taken = false;
    std::array<std::uint8_t, kSector> sector{};
    const std::uint32_t sectors = static_cast<std::uint32_t>((std::uint64_t{size} + kSector - 1) / kSector);
    for (std::uint32_t index = 0; index < sectors; ++index) {
        if (extent + index < extent) break; // the extent would wrap past the last block
        // A sector this import walked already, as part of this directory or another: a loop, a shared
        // extent, or an extent that runs into another directory's sectors.
        if (!m_importedSectors.insert(extent + index).second) break;
        sector.fill(0);
        if (!ReadSectors(extent + index, 1, sector)) {
            m_importIncomplete = true;
            break;
        }
        std::size_t position = 0;
        int recordsHere = 0;
        while (position + rec::kName <= kSector) {
            const std::uint8_t* record = &sector[position];
            const std::size_t length = record[rec::kLength];
            if (length == 0) break; // the rest of this sector holds no record
            if (length < rec::kName || position + length > kSector) break;
            position += length;
            ++recordsHere;
            const std::size_t nameLength = record[rec::kNameLength];
            if (rec::kName + nameLength > length) continue; // the identifier runs past its record
            const std::uint8_t* identifier = record + rec::kName;
            // "." and ".." of the directory itself (ECMA-119 6.8.2.2), wherever they stand. The root's
            // own record tells whether the tree carries SUSP entries (Rock Ridge).
            if (nameLength == 1 && (identifier[0] == 0 || identifier[0] == 1)) {
                if (!joliet && depth == 0 && index == 0 && recordsHere == 1 && identifier[0] == 0) {
                    const auto skip = SuspSkip(record, length);
                    m_suspSkip = skip ? static_cast<int>(*skip) : -1;
                }
                continue;
            }
            if (nameLength == 0) continue;
            if (nameLength > (joliet ? kMaxImportedJolietIdentifier : kMaxIsoIdentifier)) {
                // A Joliet identifier is UTF-16: the line shows it as text, not as raw bytes.
                const std::string shown =
                    joliet ? JolietName(identifier, nameLength)
                           : std::string(reinterpret_cast<const char*>(identifier), nameLength);
                AddDebugMessage(std::string(kNameTooLong) + "\n\r" + shown, kLogPath);
                continue;
            }
            DirectoryListing listing;
            if (joliet) {
                listing.Name = JolietName(identifier, nameLength);
            } else {
                const auto rockRidge =
                    m_suspSkip >= 0 ? RockRidgeName(record, length, static_cast<std::size_t>(m_suspSkip))
                                    : std::nullopt;
                listing.Name = rockRidge ? *rockRidge : IsoName(identifier, nameLength);
            }
            if (listing.Name.empty() || listing.Name == "." || listing.Name == "..") continue;
            listing.AlternateName = MakeShortName(listing.Name);
            const transport::ByteReader fields(std::span<const std::uint8_t>(record, length));
            listing.Size = fields.GetLe32(rec::kDataLength);
            listing.Time = RecordDate(record + rec::kDate);
            const std::uint8_t flags = record[rec::kFlags];
            if (flags & rec::kHidden) listing.Attr |= attr::kHidden;
            const std::uint32_t location = fields.GetLe32(rec::kExtent);
            if (flags & rec::kDirectory) {
                listing.Attr |= attr::kDirectory;
                listing.Size = 0;
                if (TDEntry* child = AddDirectoryEntry(dir, listing))
                    ReadImportedDirectory(location, fields.GetLe32(rec::kDataLength), child, joliet,
                                          depth + 1);
            } else {
                AddFileEntry(dir, listing, false, static_cast<std::int32_t>(location), "");
            }
            taken = true;
        }
        // A sector of the directory that starts with no record ends it: nothing follows a gap.
        if (recordsHere == 0 && index > 0) break;
    }
    return taken;
}

bool TOrbelBurner::ExtractFile(const TFEntry* node, const std::string& destFileName) {
    if (!node || node->Dir) return false;
    AddDebugMessage(">>> EXTRACTING FILE " + node->LongName + " TO " + destFileName, kLogInfo);
    // Only an imported entry knows where its data is on the disc; the extent of an entry added from a
    // local file is its place in a session not yet written, and would copy unrelated sectors.
    if (!node->Imported && node->ISOSize > 0) return false;
    std::uint32_t lba = node->Extent;
    std::int64_t left = std::clamp<std::int64_t>(node->ISOSize, 0, 0xFFFFFFFFll);
    const int fd = ::open(destFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw ImageWriteError(CantCreateFileMessage(destFileName));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kExtractChunk));
    bool complete = true;
    while (left > 0) {
        const auto chunk = static_cast<std::int32_t>(std::min<std::int64_t>(left, kExtractChunk));
        const auto count = static_cast<std::uint16_t>((chunk + kSector - 1) / kSector);
        // The transfer is exactly the sectors asked for: a drive may refuse a longer data phase at the
        // end of the disc.
        if (!ReadSectors(lba, count, std::span(buffer).first(std::size_t{count} * kSector))) {
            complete = false;
            break;
        }
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(chunk)) {
            const ssize_t written = ::write(fd, buffer.data() + done, static_cast<std::size_t>(chunk) - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                ::close(fd);
                throw ImageWriteError("CAN'T WRITE FILE \"" + destFileName + "\"");
            }
            done += static_cast<std::size_t>(written);
        }
        lba += count;
        left -= chunk;
    }
    if (complete) {
        const std::time_t when = UnixFromLocalDateTime(node->DateTime);
        const timespec times[2] = {{when, 0}, {when, 0}};
        (void)::futimens(fd, times);
    }
    if (::close(fd) != 0) throw ImageWriteError("CAN'T WRITE FILE \"" + destFileName + "\"");
    return complete;
}

} // namespace lorvane::image
