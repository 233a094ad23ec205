#include "image/records.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "transport/byte_order.h"

namespace lorvane::image {

using transport::ByteWriter;

namespace {

constexpr std::size_t kSectorBytes = 2048; // logical block size (ECMA-119 6.1.2)

namespace vd { // ECMA-119 8.4 primary / 8.5 supplementary volume descriptor; 0-based offsets
inline constexpr std::size_t kType = 0, kStandardId = 1, kVersion = 6, kVolumeFlags = 7, kSystemId = 8,
                             kVolumeId = 40, kSpaceSize = 80, kEscapes = 88, kSetSize = 120,
                             kSequenceNumber = 124, kBlockSize = 128, kPathTableSize = 132, kPathTableL = 140,
                             kOptionalPathTableL = 144, kPathTableM = 148, kOptionalPathTableM = 152,
                             kRootRecord = 156, kVolumeSetId = 190, kPublisherId = 318, kPreparerId = 446,
                             kApplicationId = 574, kCopyrightFile = 702, kAbstractFile = 739,
                             kBibliographicFile = 776, kCreation = 813, kModification = 830,
                             kExpiration = 847, kEffective = 864, kStructureVersion = 881,
                             kApplicationUse = 1024;
inline constexpr std::size_t kShortIdSize = 32, kLongIdSize = 128, kFileIdSize = 37;
inline constexpr std::uint8_t kPrimary = 1, kSupplementary = 2, kBootRecord = 0, kTerminator = 0xFF;
// Joliet UCS-2 level 1: "%/@".
inline constexpr std::array<std::uint8_t, 3> kJolietEscapes = {0x25, 0x2F, 0x40};
} // namespace vd

namespace boot { // El Torito boot record volume descriptor
inline constexpr std::size_t kSystemId = 7, kSystemIdSize = 32, kCatalogSector = 71;
} // namespace boot

namespace dirrec { // ECMA-119 9.1
inline constexpr std::size_t kLength = 0, kExtent = 2, kDataLength = 10, kRecordedAt = 18, kFlags = 25,
                             kVolumeSequence = 28, kNameLength = 32, kName = 33;
inline constexpr std::size_t kFixedPart = 33, kMaxLength = 255, kDotLength = 34;
inline constexpr std::uint8_t kHidden = 0x01, kDirectory = 0x02;
static_assert(kName == kFixedPart);
} // namespace dirrec

namespace pathrec { // ECMA-119 9.4
inline constexpr std::size_t kNameLength = 0, kExtent = 2, kParent = 6, kName = 8;
inline constexpr std::size_t kFixedPart = 8;
} // namespace pathrec

namespace catalog { // El Torito boot catalog
inline constexpr std::size_t kHeaderId = 0, kPlatformId = 1, kIdString = 4, kIdStringSize = 24,
                             kChecksum = 28, kKey = 30, kEntrySize = 32;
inline constexpr std::size_t kBootIndicator = 32, kMediaType = 33, kLoadSegment = 34, kSystemType = 36,
                             kSectorCount = 38, kLoadSector = 40;
inline constexpr std::uint8_t kValidationHeader = 0x01, kPlatformX86 = 0x00, kBootable = 0x88;
inline constexpr std::array<std::uint8_t, 2> kKeyBytes = {0x55, 0xAA};
} // namespace catalog

using Sector = std::array<std::uint8_t, kSectorBytes>;

std::uint32_t Checked32(std::int64_t value, const char* field) {
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
        throw RecordRangeError(std::string(field) + " " + std::to_string(value) + " DOES NOT FIT IN 32 BITS");
    return static_cast<std::uint32_t>(value);
}

std::uint32_t SectorOf(std::int64_t bytes, const char* field) {
    return Checked32(bytes / static_cast<std::int64_t>(kSectorBytes), field);
}

void PutBytes(Sector& sector, std::size_t at, std::span<const std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), sector.begin() + static_cast<std::ptrdiff_t>(at));
}
void PutText(Sector& sector, std::size_t at, std::string_view text) {
    std::copy(text.begin(), text.end(), sector.begin() + static_cast<std::ptrdiff_t>(at));
}

void Append(std::vector<std::uint8_t>& stream, std::span<const std::uint8_t> bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

void PutDescriptorHeader(Sector& sector, std::uint8_t type) {
    ByteWriter w(sector);
    w.PutU8(vd::kType, type);
    PutText(sector, vd::kStandardId, "CD001");
    w.PutU8(vd::kVersion, 1);
}

// The 34-byte root record inside a volume descriptor; its date stays all zero.
void PutRootRecord(Sector& sector, const TreePlacement& tree) {
    ByteWriter w{std::span<std::uint8_t>(sector).subspan(vd::kRootRecord, dirrec::kDotLength)};
    w.PutU8(dirrec::kLength, static_cast<std::uint8_t>(dirrec::kDotLength));
    w.PutBoth32(dirrec::kExtent, SectorOf(tree.DirRecordsLocation, "ROOT EXTENT"));
    w.PutBoth32(dirrec::kDataLength, Checked32(tree.RootSize, "ROOT DATA LENGTH"));
    w.PutU8(dirrec::kFlags, dirrec::kDirectory);
    w.PutBoth16(dirrec::kVolumeSequence, 1);
    w.PutU8(dirrec::kNameLength, 1);
    w.PutU8(dirrec::kName, 0x00);
}

// The fields the primary and the supplementary descriptor share.
void PutCommonFields(Sector& sector, const VolumeIdentity& identity, std::int64_t sessionSectors,
                     const TreePlacement& tree) {
    ByteWriter w(sector);
    w.PutBoth32(vd::kSpaceSize, Checked32(sessionSectors, "VOLUME SPACE SIZE"));
    w.PutBoth16(vd::kSetSize, 1);
    w.PutBoth16(vd::kSequenceNumber, 1);
    w.PutBoth16(vd::kBlockSize, static_cast<std::uint16_t>(kSectorBytes));
    w.PutBoth32(vd::kPathTableSize, Checked32(tree.PathTableSize, "PATH TABLE SIZE"));
    w.PutLe32(vd::kPathTableL, SectorOf(tree.PathTableL, "PATH TABLE L"));
    w.PutLe32(vd::kOptionalPathTableL, 0);
    w.PutBe32(vd::kPathTableM, SectorOf(tree.PathTableM, "PATH TABLE M"));
    w.PutBe32(vd::kOptionalPathTableM, 0);
    PutRootRecord(sector, tree);
    PutBytes(sector, vd::kCreation, MakeVolumeDate(identity.DateCreation));
    PutBytes(sector, vd::kModification, MakeVolumeDate(identity.DateModification));
    PutBytes(sector, vd::kExpiration, MakeZeroDate());
    PutBytes(sector, vd::kEffective, MakeZeroDate());
    w.PutU8(vd::kStructureVersion, 1);
    PutText(sector, vd::kApplicationUse, "        ");
}

bool IsDirectoryEntry(const TFEntry& entry) {
    return entry.Dir != nullptr || (entry.Attributes & attr::kDirectory) != 0;
}

const std::string& NameIn(const TFEntry& entry, TreeKind tree) {
    return tree == TreeKind::Iso ? entry.ShortName : entry.LongName;
}
const std::string& NameIn(const TDEntry& directory, TreeKind tree) {
    return tree == TreeKind::Iso ? directory.ShortName : directory.LongName;
}

// The identifier bytes of a directory record: "." and ".." become 00h and 01h (ECMA-119 9.1.11).
std::vector<std::uint8_t> RecordIdentifier(const TFEntry& entry, TreeKind tree) {
    std::string name = NameIn(entry, tree);
    if (name == ".") return {0x00};
    if (name == "..") return {0x01};
    if (tree == TreeKind::Joliet && entry.DotAdded && name.size() > 1 && name.back() == '.') name.pop_back();
    if (!IsDirectoryEntry(entry)) name += ";1";
    if (tree == TreeKind::Joliet) return JolietIdentifier(name);
    return {name.begin(), name.end()};
}

std::size_t RecordLength(std::size_t identifierLength) {
    const std::size_t length = dirrec::kFixedPart + identifierLength + (identifierLength % 2 == 0 ? 1 : 0);
    if (length > dirrec::kMaxLength)
        throw RecordRangeError("DIRECTORY RECORD LENGTH " + std::to_string(length) + " ABOVE 255");
    return length;
}

bool HasOwnDotRecords(const TDEntry& directory, TreeKind tree) {
    return directory.FirstEntry != nullptr && NameIn(*directory.FirstEntry, tree) == ".";
}

std::uint32_t DirectoryExtent(const TDEntry& directory, TreeKind tree) {
    return tree == TreeKind::Iso ? directory.ISOExtent : directory.JolietExtent;
}
std::int64_t DirectorySize(const TDEntry& directory, TreeKind tree) {
    return tree == TreeKind::Iso ? directory.ISOSize : directory.JolietSize;
}

std::uint32_t AddSectors(std::uint32_t base, std::uint32_t offset, const char* field) {
    return Checked32(static_cast<std::int64_t>(base) + offset, field);
}

// One directory extent being filled: records are placed so that none crosses a sector end.
class ExtentWriter {
public:
    explicit ExtentWriter(std::vector<std::uint8_t>& stream) : m_stream(stream) {}
    void Put(std::span<const std::uint8_t> record) {
        if (record.size() > m_free) Pad();
        Append(m_stream, record);
        m_free -= record.size();
    }
    void Pad() {
        m_stream.insert(m_stream.end(), m_free, 0);
        m_free = kSectorBytes;
    }
    void Finish() {
        if (m_free != kSectorBytes || m_empty) Pad();
    }
    void MarkUsed() { m_empty = false; }

private:
    std::vector<std::uint8_t>& m_stream;
    std::size_t m_free = kSectorBytes;
    bool m_empty = true;
};

std::vector<std::uint8_t> MakeDirectoryRecord(std::span<const std::uint8_t> identifier, std::uint32_t extent,
                                              std::int64_t dataLength, std::uint8_t flags, double dateTime,
                                              int gmtOffset) {
    std::vector<std::uint8_t> record(RecordLength(identifier.size()), 0);
    ByteWriter w(record);
    w.PutU8(dirrec::kLength, static_cast<std::uint8_t>(record.size()));
    w.PutBoth32(dirrec::kExtent, extent);
    w.PutBoth32(dirrec::kDataLength, Checked32(dataLength, "DATA LENGTH"));
    EncodeRecordDate(std::span(record).subspan<dirrec::kRecordedAt, kRecordDateSize>(), dateTime, gmtOffset);
    w.PutU8(dirrec::kFlags, flags);
    w.PutBoth16(dirrec::kVolumeSequence, 1);
    w.PutU8(dirrec::kNameLength, static_cast<std::uint8_t>(identifier.size()));
    std::copy(identifier.begin(), identifier.end(), record.begin() + dirrec::kName);
    return record;
}

std::vector<std::uint8_t> PathIdentifier(const TDEntry& directory, TreeKind tree) {
    const std::string& name = NameIn(directory, tree);
    if (tree == TreeKind::Joliet) return JolietIdentifier(name);
    return {name.begin(), name.end()};
}

} // namespace

void WritePrimaryDescriptor(std::vector<std::uint8_t>& stream, const VolumeIdentity& identity,
                            std::int64_t sessionSectors, const TreePlacement& iso) {
    Sector sector{};
    PutDescriptorHeader(sector, vd::kPrimary);
    PutText(sector, vd::kSystemId, PaddedText(identity.IdSystem, vd::kShortIdSize));
    PutText(sector, vd::kVolumeId, PaddedText(identity.IdVolume, vd::kShortIdSize));
    // Bytes 88-119 stay zero (ECMA-119 8.4.9): readers that find a Joliet escape sequence there take the
    // primary descriptor for the Joliet one and read the ISO 9660 tree as UCS-2 names.
    PutText(sector, vd::kVolumeSetId, PaddedText(identity.IdVolumeSet, vd::kLongIdSize));
    PutText(sector, vd::kPublisherId, PaddedText(identity.IdPublisher, vd::kLongIdSize));
    PutText(sector, vd::kPreparerId, PaddedText(identity.IdPreparer, vd::kLongIdSize));
    PutText(sector, vd::kApplicationId, PaddedText(identity.IdApplication, vd::kLongIdSize));
    PutText(sector, vd::kCopyrightFile, PaddedText(identity.FileCopyright, vd::kFileIdSize));
    PutText(sector, vd::kAbstractFile, PaddedText(identity.FileAbstract, vd::kFileIdSize));
    PutText(sector, vd::kBibliographicFile, PaddedText(identity.FileBibliographic, vd::kFileIdSize));
    PutCommonFields(sector, identity, sessionSectors, iso);
    Append(stream, sector);
}

void WriteJolietDescriptor(std::vector<std::uint8_t>& stream, const VolumeIdentity& identity,
                           std::int64_t sessionSectors, const TreePlacement& joliet) {
    Sector sector{};
    PutDescriptorHeader(sector, vd::kSupplementary);
    ByteWriter(sector).PutU8(vd::kVolumeFlags, 0);
    PutBytes(sector, vd::kSystemId, JolietText(identity.IdSystem, vd::kShortIdSize));
    PutBytes(sector, vd::kVolumeId, JolietText(identity.IdVolume, vd::kShortIdSize));
    PutBytes(sector, vd::kEscapes, vd::kJolietEscapes);
    PutBytes(sector, vd::kVolumeSetId, JolietText(identity.IdVolumeSet, vd::kLongIdSize));
    PutBytes(sector, vd::kPublisherId, JolietText(identity.IdPublisher, vd::kLongIdSize));
    PutBytes(sector, vd::kPreparerId, JolietText(identity.IdPreparer, vd::kLongIdSize));
    PutBytes(sector, vd::kApplicationId, JolietText(identity.IdApplication, vd::kLongIdSize));
    // 36 bytes of UTF-16 each; the 37th byte of the field stays 0.
    PutBytes(sector, vd::kCopyrightFile, JolietText(identity.FileCopyright, vd::kFileIdSize - 1));
    PutBytes(sector, vd::kAbstractFile, JolietText(identity.FileAbstract, vd::kFileIdSize - 1));
    PutBytes(sector, vd::kBibliographicFile, JolietText(identity.FileBibliographic, vd::kFileIdSize - 1));
    PutCommonFields(sector, identity, sessionSectors, joliet);
    Append(stream, sector);
}

void WriteBootRecordDescriptor(std::vector<std::uint8_t>& stream, std::int64_t bootCatalogLocation) {
    Sector sector{};
    PutDescriptorHeader(sector, vd::kBootRecord);
    PutText(sector, boot::kSystemId, "EL TORITO SPECIFICATION"); // the rest of the 32 bytes stays 0
    ByteWriter(sector).PutLe32(boot::kCatalogSector, SectorOf(bootCatalogLocation, "BOOT CATALOG SECTOR"));
    Append(stream, sector);
}

void WriteTerminator(std::vector<std::uint8_t>& stream) {
    Sector sector{};
    PutDescriptorHeader(sector, vd::kTerminator);
    Append(stream, sector);
}

std::int64_t PathTableBytes(std::span<TDEntry* const> order, TreeKind tree) {
    std::int64_t bytes = static_cast<std::int64_t>(pathrec::kFixedPart) + 2; // the root: 1-byte name + pad
    for (std::size_t i = 1; i < order.size(); ++i) {
        const std::size_t n = PathIdentifier(*order[i], tree).size();
        bytes += static_cast<std::int64_t>(pathrec::kFixedPart + n + n % 2);
    }
    return bytes;
}

void WritePathTable(std::vector<std::uint8_t>& stream, std::span<TDEntry* const> order, TreeKind tree,
                    std::uint32_t firstSector, PathTableOrder byteOrder) {
    std::unordered_map<const TDEntry*, std::size_t> numbers; // 1-based position in this table
    for (std::size_t i = 0; i < order.size(); ++i) numbers.emplace(order[i], i + 1);
    const std::size_t start = stream.size();
    for (std::size_t i = 0; i < order.size(); ++i) {
        const TDEntry& directory = *order[i];
        const std::vector<std::uint8_t> identifier =
            i == 0 ? std::vector<std::uint8_t>{0x00} : PathIdentifier(directory, tree);
        if (identifier.empty() || identifier.size() > 255)
            throw RecordRangeError("PATH TABLE IDENTIFIER LENGTH " + std::to_string(identifier.size()) +
                                   " OUT OF RANGE 1..255");
        std::size_t parent = 1;
        if (i != 0) {
            const auto found = numbers.find(directory.Parent);
            if (found == numbers.end()) throw RecordRangeError("PATH TABLE PARENT MISSING FROM THE TABLE");
            parent = found->second;
        }
        if (parent > 65535)
            throw RecordRangeError("PATH TABLE PARENT NUMBER " + std::to_string(parent) + " ABOVE 65535");
        const std::uint32_t extent =
            AddSectors(DirectoryExtent(directory, tree), firstSector, "PATH TABLE EXTENT");
        std::vector<std::uint8_t> record(pathrec::kFixedPart + identifier.size() + identifier.size() % 2, 0);
        ByteWriter w(record);
        w.PutU8(pathrec::kNameLength, static_cast<std::uint8_t>(identifier.size()));
        if (byteOrder == PathTableOrder::Little) {
            w.PutLe32(pathrec::kExtent, extent);
            w.PutLe16(pathrec::kParent, static_cast<std::uint16_t>(parent));
        } else {
            w.PutBe32(pathrec::kExtent, extent);
            w.PutBe16(pathrec::kParent, static_cast<std::uint16_t>(parent));
        }
        std::copy(identifier.begin(), identifier.end(), record.begin() + pathrec::kName);
        Append(stream, record);
    }
    const std::size_t written = stream.size() - start;
    stream.resize(stream.size() + (kSectorBytes - written % kSectorBytes) % kSectorBytes, 0);
}

std::int64_t DirectoryExtentBytes(const TDEntry& directory, TreeKind tree) {
    std::size_t used = 0, free = kSectorBytes;
    if (!HasOwnDotRecords(directory, tree)) {
        used = 2 * dirrec::kDotLength;
        free -= used;
    }
    for (const TFEntry* entry = directory.FirstEntry; entry != nullptr; entry = entry->Next) {
        const std::size_t length = RecordLength(RecordIdentifier(*entry, tree).size());
        if (length > free) {
            used += free;
            free = kSectorBytes;
        }
        used += length;
        free -= length;
    }
    const std::size_t sectors = std::max<std::size_t>(1, (used + kSectorBytes - 1) / kSectorBytes);
    return static_cast<std::int64_t>(sectors * kSectorBytes);
}

void WriteDirectoryExtents(std::vector<std::uint8_t>& stream, std::span<TDEntry* const> directories,
                           TreeKind tree, const DirectoryAreas& areas) {
    for (const TDEntry* directory : directories) {
        ExtentWriter extent(stream);
        if (!HasOwnDotRecords(*directory, tree)) {
            const TDEntry& parent = directory->Parent != nullptr ? *directory->Parent : *directory;
            const std::array<std::uint8_t, 1> dot{0x00}, dotDot{0x01};
            extent.Put(MakeDirectoryRecord(
                dot, AddSectors(DirectoryExtent(*directory, tree), areas.DirAreaSector, "DIRECTORY EXTENT"),
                DirectorySize(*directory, tree), dirrec::kDirectory, areas.Now, areas.GMTOffset));
            extent.Put(MakeDirectoryRecord(
                dotDot, AddSectors(DirectoryExtent(parent, tree), areas.DirAreaSector, "DIRECTORY EXTENT"),
                DirectorySize(parent, tree), dirrec::kDirectory, areas.Now, areas.GMTOffset));
            extent.MarkUsed();
        }
        for (const TFEntry* entry = directory->FirstEntry; entry != nullptr; entry = entry->Next) {
            const bool isDirectory = IsDirectoryEntry(*entry);
            const std::uint32_t own = tree == TreeKind::Iso ? entry->Extent : entry->JolietExtent;
            const std::int64_t size = tree == TreeKind::Iso ? entry->ISOSize : entry->JolietSize;
            std::uint32_t sector = 0;
            if (isDirectory)
                sector = AddSectors(own, areas.DirAreaSector, "DIRECTORY EXTENT");
            else if (size != 0)
                sector = entry->Imported ? own : AddSectors(own, areas.FileAreaSector, "FILE EXTENT");
            std::uint8_t flags = isDirectory ? dirrec::kDirectory : 0;
            if ((entry->Attributes & attr::kHidden) != 0) flags |= dirrec::kHidden;
            extent.Put(MakeDirectoryRecord(RecordIdentifier(*entry, tree), sector, size, flags,
                                           entry->DateTime, areas.GMTOffset));
            extent.MarkUsed();
        }
        extent.Finish();
    }
}

void WriteBootCatalog(std::vector<std::uint8_t>& stream, std::int64_t bootImageSize,
                      std::int64_t bootImageLocation) {
    Sector sector{};
    ByteWriter w(sector);
    w.PutU8(catalog::kHeaderId, catalog::kValidationHeader);
    w.PutU8(catalog::kPlatformId, catalog::kPlatformX86);
    PutText(sector, catalog::kIdString, std::string_view("Lorvane").substr(0, catalog::kIdStringSize));
    PutBytes(sector, catalog::kKey, catalog::kKeyBytes);
    // The sixteen little-endian words of the validation entry must sum to zero.
    const transport::ByteReader r{std::span<const std::uint8_t>(sector).first(catalog::kEntrySize)};
    std::uint16_t sum = 0;
    for (std::size_t at = 0; at < catalog::kEntrySize; at += 2)
        sum = static_cast<std::uint16_t>(sum + r.GetLe16(at));
    w.PutLe16(catalog::kChecksum, static_cast<std::uint16_t>(0x10000 - sum));

    std::uint8_t mediaType = 4; // hard disk emulation
    if (bootImageSize == 1'228'800)
        mediaType = 1;
    else if (bootImageSize == 1'474'560)
        mediaType = 2;
    else if (bootImageSize == 2'949'120)
        mediaType = 3;
    w.PutU8(catalog::kBootIndicator, catalog::kBootable);
    w.PutU8(catalog::kMediaType, mediaType);
    w.PutLe16(catalog::kLoadSegment, 0);
    w.PutU8(catalog::kSystemType, 0);
    w.PutLe16(catalog::kSectorCount, 1);
    w.PutLe32(catalog::kLoadSector, SectorOf(bootImageLocation, "BOOT IMAGE SECTOR"));
    Append(stream, sector);
}

} // namespace lorvane::image
