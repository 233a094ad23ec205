// Layout planning: where the session starts, the order and numbering of the directories, and the
// place of every structure and every file; then the generation of the structure sectors.

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <unistd.h>

#include "drive/disc_info.h"
#include "image/orbel_burner.h"
#include "image/records.h"

namespace lorvane::image {
namespace {

constexpr std::uint32_t kHighestSessionStart = 0xFF000000u;
constexpr int kReadyWaitMs = 10000;
constexpr int kReadyStepMs = 500;
constexpr std::size_t kSystemAreaSectors = 16;

TreeKind KindOf(bool joliet) {
    return joliet ? TreeKind::Joliet : TreeKind::Iso;
}

const std::string& NameOf(const TDEntry& dir, bool joliet) {
    return joliet ? dir.LongName : dir.ShortName;
}

// A sort key: a number written with a fixed count of digits followed by a name. Comparing the
// number and then the name's bytes (unsigned, a prefix sorts first) gives the order of the texts.
struct NameKey {
    std::uint32_t number = 0;
    std::string_view name;
    friend bool operator>(const NameKey& a, const NameKey& b) {
        if (a.number != b.number) return a.number > b.number;
        return a.name.compare(b.name) > 0;
    }
};

// The gap sort of the path-table passes: the gap halves, and sweeps at one gap repeat until one
// makes no swap; equal keys never swap. Keys travel with their items. Every item is then numbered
// by its place (the root gets 1).
template <typename Key> void GapSort(std::vector<TDEntry*>& table, std::vector<Key>& keys) {
    const std::size_t n = table.size() - 1;
    std::size_t gap = n;
    while (gap > 1) {
        gap /= 2;
        bool swapped = true;
        while (swapped) {
            swapped = false;
            for (std::size_t i = 1; i + gap <= n; ++i) {
                if (keys[i] > keys[i + gap]) {
                    std::swap(keys[i], keys[i + gap]);
                    std::swap(table[i], table[i + gap]);
                    swapped = true;
                }
            }
        }
    }
    for (std::size_t i = 0; i < table.size(); ++i) table[i]->Number = static_cast<std::uint32_t>(i + 1);
}

// Going down the table from `from`, parent numbers and numbers never decrease.
bool InPathTableOrder(const std::vector<TDEntry*>& table, std::size_t from) {
    for (std::size_t i = from + 1; i < table.size(); ++i) {
        if (table[i]->Parent->Number < table[i - 1]->Parent->Number) return false;
        if (table[i]->Number < table[i - 1]->Number) return false;
    }
    return true;
}

std::vector<TDEntry*> DirectoryTable(const std::vector<std::unique_ptr<TDEntry>>& directories) {
    std::vector<TDEntry*> table;
    table.reserve(directories.size());
    for (const auto& dir : directories) table.push_back(dir.get());
    return table;
}

double Now() {
    return DateTimeFromUnix(static_cast<std::int64_t>(std::time(nullptr)), 0);
}

} // namespace

bool TOrbelBurner::PrepareTrack() {
    (void)WaitUnitReady(kReadyWaitMs, kReadyStepMs);
    // The medium is asked for before the write parameters go out; they use the current kind that the
    // planner and the writers keep.
    (void)GetMediumType();
    const bool finalize = FinalizeDisc;
    FinalizeDisc = true;
    (void)SetWriteParameters(TestWrite, UnderrunProtection, drive::LastMediumIndex.load());
    FinalizeDisc = finalize;
    (void)WaitUnitReady(kReadyWaitMs, kReadyStepMs);
    const std::uint8_t last = GetLastSession();
    const auto next = static_cast<std::uint8_t>(last == 0xFF ? last : last + 1);
    if (ReadTrackInformation(next)) {
        SessionStart = TrackInfo().nextWritable;
        return true;
    }
    SessionStart = 0;
    return false;
}

void TOrbelBurner::SortByLevelName(std::vector<TDEntry*>& table, bool joliet) {
    if (table.size() < 2) return;
    std::vector<NameKey> keys(table.size());
    for (std::size_t i = 1; i < table.size(); ++i) keys[i] = {table[i]->Level, NameOf(*table[i], joliet)};
    GapSort(table, keys);
}

void TOrbelBurner::SortByParentName(std::vector<TDEntry*>& table, bool joliet) {
    if (table.size() < 2) return;
    std::vector<NameKey> keys(table.size());
    for (std::size_t i = 1; i < table.size(); ++i)
        keys[i] = {table[i]->Parent->Number, NameOf(*table[i], joliet)};
    GapSort(table, keys);
}

void TOrbelBurner::SortByNumber(std::vector<TDEntry*>& table) {
    if (table.size() < 2) return;
    std::vector<std::uint32_t> keys(table.size());
    for (std::size_t i = 1; i < table.size(); ++i) keys[i] = table[i]->Number;
    GapSort(table, keys);
}

void TOrbelBurner::SortByParentNumber(std::vector<TDEntry*>& table) {
    if (table.size() < 2) return;
    std::vector<std::uint32_t> keys(table.size());
    for (std::size_t i = 1; i < table.size(); ++i) keys[i] = table[i]->Parent->Number;
    GapSort(table, keys);
}

void TOrbelBurner::SortDirectories() {
    SortByLevelName(ISOOrder, false);
    SortByParentName(ISOOrder, false);
    SortByLevelName(JolietOrder, true);
    SortByParentName(JolietOrder, true);
    for (;;) {
        SortByNumber(ISOOrder);
        SortByParentNumber(ISOOrder);
        SortByNumber(ISOOrder);
        SortByParentName(ISOOrder, false);
        if (!InPathTableOrder(ISOOrder, 1)) continue;
        SortByNumber(JolietOrder);
        SortByParentNumber(JolietOrder);
        if (InPathTableOrder(JolietOrder, 0)) break;
    }
}

std::int64_t TOrbelBurner::DirectoryExtentSize(const TDEntry& dir, bool joliet) const {
    return DirectoryExtentBytes(dir, KindOf(joliet));
}

std::int64_t TOrbelBurner::AssignDirectoryExtents(bool joliet) {
    std::int64_t offset = 0;
    std::int64_t total = 0;
    for (const auto& dir : m_directories) {
        const std::int64_t size = DirectoryExtentSize(*dir, joliet);
        if (offset > std::numeric_limits<std::uint32_t>::max())
            throw RecordRangeError("DIRECTORY EXTENT " + std::to_string(offset) + " DOES NOT FIT IN 32 BITS");
        (joliet ? dir->JolietExtent : dir->ISOExtent) = static_cast<std::uint32_t>(offset);
        (joliet ? dir->JolietSize : dir->ISOSize) = size;
        offset += size / kSectorSize;
        total += size;
    }
    return total;
}

void TOrbelBurner::AssignFileExtents() {
    FileDataSectors = 0;
    for (const auto& file : m_files) {
        TFEntry& entry = *file;
        if (entry.Imported) continue;
        if (entry.Dir) {
            entry.Extent = entry.Dir->ISOExtent;
            entry.JolietExtent = entry.Dir->JolietExtent;
            entry.ISOSize = entry.Dir->ISOSize;
            entry.JolietSize = entry.Dir->JolietSize;
        } else if (entry.ISOSize == 0) {
            entry.JolietSize = 0;
            entry.Extent = entry.JolietExtent = 0;
        } else {
            if (FileDataSectors > std::numeric_limits<std::uint32_t>::max())
                throw RecordRangeError("FILE EXTENT " + std::to_string(FileDataSectors) +
                                       " DOES NOT FIT IN 32 BITS");
            entry.JolietSize = entry.ISOSize;
            entry.Extent = entry.JolietExtent = static_cast<std::uint32_t>(FileDataSectors);
            FileDataSectors += SectorsFor(entry.ISOSize);
        }
    }
}

bool TOrbelBurner::PlanLayout(bool isoOnly) {
    struct stat bootInfo {};
    if (BootImage.empty() || ::stat(BootImage.c_str(), &bootInfo) != 0 || S_ISDIR(bootInfo.st_mode)) {
        // The session goes on without it; the log says so, since the user asked for a bootable disc.
        if (Bootable)
            AddDebugMessage(">>> BOOT IMAGE \"" + BootImage + "\" NOT FOUND, THE DISC WILL NOT BE BOOTABLE",
                            logtype::kError);
        Bootable = false;
    }
    DoDebug = false;

    SessionStart = 0;
    if (!isoOnly) {
        const std::uint8_t mediumIndex = GetMediumType();
        drive::LastMediumIndex = mediumIndex;
        const bool dvd = mediumIndex >= drive::medium::kDvdR && mediumIndex <= drive::medium::kDvdPlusR;
        if (!dvd && !PrepareTrack())
            AddDebugMessage(std::string(">>> ") + kNoNextWritableAddressMessage, logtype::kError);
        if (SessionStart > kHighestSessionStart) SessionStart = 0;
    }

    SortDirectories();

    std::int64_t p = std::int64_t{SessionStart} * kSectorSize + 32768;
    PVDLocation = p;
    // Descriptors this session does not have keep no place from an earlier layout.
    BootRecordLocation = JolietSVDLocation = 0;
    if (Bootable) BootRecordLocation = p += kSectorSize;
    if (JolietFileSystem) JolietSVDLocation = p += kSectorSize;
    TerminatorLocation = p += kSectorSize;

    PathTableL = p += kSectorSize;
    PathTableSize = PathTableBytes(ISOOrder, TreeKind::Iso);
    PathTableM = p += SectorsFor(PathTableSize) * kSectorSize;
    JolietPathTableL = p += SectorsFor(PathTableSize) * kSectorSize;
    if (JolietFileSystem) {
        JolietPathTableSize = PathTableBytes(JolietOrder, TreeKind::Joliet);
        JolietPathTableM = p += SectorsFor(JolietPathTableSize) * kSectorSize;
        p += SectorsFor(JolietPathTableSize) * kSectorSize;
    } else {
        JolietPathTableSize = 0;
        JolietPathTableM = 0;
    }

    DirRecordsLocation = p;
    DirRecordsSize = AssignDirectoryExtents(false);
    p += DirRecordsSize;
    if (JolietFileSystem) {
        JolietDirRecordsLocation = p;
        JolietDirRecordsSize = AssignDirectoryExtents(true);
        p += JolietDirRecordsSize;
    } else {
        JolietDirRecordsLocation = 0;
        JolietDirRecordsSize = 0;
    }

    BootImageBytes = 0;
    if (Bootable) {
        const int fd = ::open(BootImage.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat opened {};
        if (fd < 0 || ::fstat(fd, &opened) != 0) {
            if (fd >= 0) ::close(fd);
            throw ImageWriteError(CantOpenFileMessage(BootImage));
        }
        ::close(fd);
        BootCatalogLocation = p;
        BootImageLocation = p += kSectorSize;
        BootImageBytes = opened.st_size;
        BootImageSize = SectorsFor(BootImageBytes) * kSectorSize;
        p += BootImageSize;
    } else {
        BootCatalogLocation = BootImageLocation = BootImageSize = 0;
    }

    PadBytes = kMinimumFileAreaStart - p;
    if (p < kMinimumFileAreaStart) p = kMinimumFileAreaStart;
    FirstFileLocation = p;

    AssignFileExtents();
    // Imported files keep their data where the earlier session put it. A session that starts on or before
    // that data (a disc rewritten from its start, such as DVD+RW or DVD-RAM) would overwrite it and leave
    // the new directories pointing at other bytes.
    for (const auto& file : m_files) {
        if (isoOnly || !file->Imported || file->Dir || file->ISOSize == 0) continue;
        if (std::int64_t{file->Extent} + SectorsFor(file->ISOSize) > std::int64_t{SessionStart})
            // A closed disc has no next writable address at all: say that, not what the empty start implies.
            throw ImageWriteError(DiscIsClosed() ? kClosedDiscMessage : kImportedDataOverwrittenMessage);
    }
    ImageEnd = SectorsFor(p + FileDataSectors * kSectorSize);
    SessionSectors = ImageEnd - SessionStart;
    return true;
}

std::size_t TOrbelBurner::BootImageStreamOffset() const {
    if (!Bootable) return StructureStream.size();
    return static_cast<std::size_t>(BootImageLocation - std::int64_t{SessionStart} * kSectorSize);
}

bool TOrbelBurner::BuildStructures() {
    StructureStream.clear();
    const VolumeIdentity identity{IdSystem,          IdVolume,      IdVolumeSet,     IdPublisher,
                                  IdPreparer,        IdApplication, FileCopyright,   FileAbstract,
                                  FileBibliographic, DateCreation,  DateModification};
    const TreePlacement iso{PathTableSize, PathTableL, PathTableM, DirRecordsLocation, Root->ISOSize};
    const TreePlacement joliet{JolietPathTableSize, JolietPathTableL, JolietPathTableM,
                               JolietDirRecordsLocation, Root->JolietSize};
    const auto sectorOf = [](std::int64_t bytes) { return static_cast<std::uint32_t>(bytes / kSectorSize); };
    if (ImageEnd > std::numeric_limits<std::uint32_t>::max())
        throw RecordRangeError("VOLUME SPACE SIZE " + std::to_string(ImageEnd) + " DOES NOT FIT IN 32 BITS");

    // Everything from the session's first sector to the file area, but the boot image.
    StructureStream.reserve(static_cast<std::size_t>(
        FirstFileLocation - std::int64_t{SessionStart} * kSectorSize - BootImageSize));

    StructureStream.resize(kSystemAreaSectors * kSectorSize, 0);
    WritePrimaryDescriptor(StructureStream, identity, SessionSectors, iso);
    if (Bootable) WriteBootRecordDescriptor(StructureStream, BootCatalogLocation);
    if (JolietFileSystem) WriteJolietDescriptor(StructureStream, identity, SessionSectors, joliet);
    WriteTerminator(StructureStream);

    WritePathTable(StructureStream, ISOOrder, TreeKind::Iso, sectorOf(DirRecordsLocation),
                   PathTableOrder::Little);
    WritePathTable(StructureStream, ISOOrder, TreeKind::Iso, sectorOf(DirRecordsLocation),
                   PathTableOrder::Big);
    if (JolietFileSystem) {
        WritePathTable(StructureStream, JolietOrder, TreeKind::Joliet, sectorOf(JolietDirRecordsLocation),
                       PathTableOrder::Little);
        WritePathTable(StructureStream, JolietOrder, TreeKind::Joliet, sectorOf(JolietDirRecordsLocation),
                       PathTableOrder::Big);
    }

    const std::vector<TDEntry*> directories = DirectoryTable(m_directories);
    const double now = Now();
    WriteDirectoryExtents(StructureStream, directories, TreeKind::Iso,
                          {sectorOf(DirRecordsLocation), sectorOf(FirstFileLocation), now, GMTOffset});
    if (JolietFileSystem)
        WriteDirectoryExtents(
            StructureStream, directories, TreeKind::Joliet,
            {sectorOf(JolietDirRecordsLocation), sectorOf(FirstFileLocation), now, GMTOffset});
    if (Bootable) WriteBootCatalog(StructureStream, BootImageSize, BootImageLocation);
    if (PadBytes >= kSectorSize)
        StructureStream.resize(
            StructureStream.size() + static_cast<std::size_t>(PadBytes / kSectorSize) * kSectorSize, 0);

    SessionSectors = ImageEnd - SessionStart;
    DoDebug = true;
    return true;
}

bool TOrbelBurner::PrepareImage(bool isoOnly) {
    ImageError.clear();
    try {
        PlanLayout(isoOnly);
        BuildStructures();
        return true;
    } catch (const RecordRangeError& error) {
        ImageError = error.what();
    } catch (const ImageWriteError& error) {
        ImageError = error.what();
    }
    StructureStream.clear();
    DoDebug = true;
    AddDebugMessage(">>> " + ImageError, logtype::kError);
    return false;
}

} // namespace lorvane::image
