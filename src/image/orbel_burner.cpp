#include "image/orbel_burner.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace lorvane::image {
namespace {

// Tables are reserved up front so that adding does not reallocate them; a capacity beyond this is
// still honoured, the table then grows as it fills.
constexpr std::size_t kMaxReservation = 1u << 20;

std::string Formatted(const char* format, int value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string WithDot(std::string name) {
    if (name.find('.') == std::string::npos) name += '.';
    return name;
}

double Now() {
    return DateTimeFromUnix(static_cast<std::int64_t>(std::time(nullptr)), 0);
}

template <typename T> void EraseFromBack(std::vector<T>& table, const void* item) {
    for (auto at = table.size(); at-- > 0;) {
        if (&*table[at] == item) {
            table.erase(table.begin() + static_cast<std::ptrdiff_t>(at));
            return;
        }
    }
}

} // namespace

TOrbelBurner::TOrbelBurner(transport::Clock& clock) : drive::TSCSIDevice(clock) {
    WritePostGap = true;
    ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirectories);
    SetCacheSize(kDefaultCacheSize);
    JolietFileSystem = true;
    FinalizeTrack = true;
    UnderrunProtection = true;
}

TOrbelBurner::~TOrbelBurner() {
    // Handlers of the workers may look at the compilation: the writer and the erase thread go first.
    StopWriting();
    JoinEraseThread();
    StructureStream.clear();
}

void TOrbelBurner::SetCacheSize(int value) {
    m_cacheSize =
        value < kMinimumCacheSize ? kMinimumCacheSize : value - value % static_cast<int>(kSectorSize);
}

bool TOrbelBurner::ClearCompilation(int maxFiles, int maxDirectories) {
    // The offset in effect now. Adding the daylight bias whether or not daylight time is in effect would
    // put every recorded date an hour off for half of the year.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    GMTOffset = localtime_r(&now, &local) ? static_cast<int>(local.tm_gmtoff / (15 * 60)) : 0;

    StructureStream.clear();
    Root = nullptr;
    PreviousEntry = nullptr;
    ISOOrder.clear();
    JolietOrder.clear();
    m_files.clear();
    m_directories.clear();
    m_directoriesByPath.clear();
    // The root always needs a place; negative capacities mean none.
    m_maxFiles = std::max(maxFiles, 0);
    m_maxDirectories = std::max(maxDirectories, 1);
    const auto fileRoom = std::min(static_cast<std::size_t>(m_maxFiles), kMaxReservation);
    const auto directoryRoom = std::min(static_cast<std::size_t>(m_maxDirectories), kMaxReservation);
    m_files.reserve(fileRoom);
    m_directories.reserve(directoryRoom);
    ISOOrder.reserve(directoryRoom);
    JolietOrder.reserve(directoryRoom);
    m_directoriesByPath.reserve(directoryRoom);
    CompilationSize = 0;

    Root = NewDirNode();
    Root->Path = "\\";
    Root->ShortName = "CD_ROOT";
    Root->LongName = "CD Root Directory";
    Root->Level = 1;
    Root->Parent = Root;
    return true;
}

TDEntry* TOrbelBurner::NewDirNode() {
    if (static_cast<int>(m_directories.size()) >= m_maxDirectories) {
        AddDebugMessage(">>> " + Formatted("MAXIMUM DIRECTORIES CAN BE %d", m_maxDirectories),
                        logtype::kLimit);
        return nullptr;
    }
    m_directories.push_back(std::make_unique<TDEntry>());
    TDEntry* dir = m_directories.back().get();
    ISOOrder.push_back(dir);
    JolietOrder.push_back(dir);
    return dir;
}

TFEntry* TOrbelBurner::NewFileNode() {
    if (static_cast<int>(m_files.size()) >= m_maxFiles) {
        AddDebugMessage(Formatted("MAXIMUM FILES CAN BE %d", m_maxFiles), logtype::kLimit);
        return nullptr;
    }
    m_files.push_back(std::make_unique<TFEntry>());
    return m_files.back().get();
}

TDEntry* TOrbelBurner::FindDirectory(const std::string& path) const {
    if (path.empty() || path == "\\") return Root;
    std::string key = path;
    if (key.back() == '\\') key.pop_back();
    const auto found = m_directoriesByPath.find(UpperCase(key));
    return found == m_directoriesByPath.end() || found->second.empty() ? nullptr : found->second.front();
}

TFEntry* TOrbelBurner::FindEntry(TDEntry* dir, const std::string& name) {
    PreviousEntry = nullptr;
    if (!dir) return nullptr;
    TFEntry* entry = dir->m_entries.FindFolded(WithDot(name));
    if (!entry) return nullptr;
    PreviousEntry = entry->m_previous;
    return entry;
}

TFEntry* TOrbelBurner::LastEntry(TFEntry* first) {
    if (!first) return nullptr;
    while (first->Next) first = first->Next;
    return first;
}

std::string TOrbelBurner::DirectoryPath(const TDEntry* dir) {
    std::string path = "\\";
    for (; dir && dir->Parent != dir; dir = dir->Parent) path = "\\" + dir->LongName + path;
    path.pop_back();
    return UpperCase(path);
}

void TOrbelBurner::AppendEntry(TDEntry* dir, TFEntry* entry) {
    entry->m_owner = dir;
    entry->m_order = ++m_nextOrder;
    entry->m_previous = dir->m_lastEntry;
    entry->Next = nullptr;
    if (dir->m_lastEntry)
        dir->m_lastEntry->Next = entry;
    else
        dir->FirstEntry = entry;
    dir->m_lastEntry = entry;
}

void TOrbelBurner::IndexEntry(TFEntry* entry) {
    entry->m_owner->m_entries.Insert(entry);
}

void TOrbelBurner::UnindexEntry(TFEntry* entry) {
    entry->m_owner->m_entries.Erase(entry);
}

TDEntry* TOrbelBurner::AddDirectoryEntry(TDEntry* parent, const DirectoryListing& listing) {
    if (!parent) return nullptr;
    const std::string name = JolietSafeName(listing.Name);
    // Adding a folder twice merges into the existing directory. Linux names are case-sensitive, so
    // Docs and docs are two directories.
    if (const TFEntry* existing = parent->m_entries.FindExact(name, true)) return existing->Dir;

    // Level is one byte: a deeper directory would wrap to level 0.
    if (parent->Level == kMaxDirectoryLevel) {
        AddDebugMessage(Formatted("MAXIMUM DIRECTORY DEPTH IS %d", kMaxDirectoryLevel), logtype::kLimit);
        return nullptr;
    }
    TDEntry* dir = NewDirNode();
    if (!dir) return nullptr;
    TFEntry* entry = NewFileNode();
    if (!entry) {
        // No half-made directory stays in the tables.
        m_directories.pop_back();
        ISOOrder.pop_back();
        JolietOrder.pop_back();
        return nullptr;
    }
    AppendEntry(parent, entry);
    const std::string shortName = listing.AlternateName.empty() ? UpperCase(name) : listing.AlternateName;

    dir->Parent = parent;
    dir->LongName = name;
    dir->ShortName = shortName;
    dir->Level = static_cast<std::uint8_t>(parent->Level + 1);
    dir->Path = DirectoryPath(dir);
    m_directoriesByPath[dir->Path].push_back(dir);

    entry->LongName = name;
    entry->ShortName = shortName;
    entry->Attributes = listing.Attr;
    entry->Dir = dir;
    entry->DateTime = listing.Time;
    IndexEntry(entry);
    return dir;
}

TDEntry* TOrbelBurner::CreateDirectory(TDEntry* parent, const std::string& name, std::uint32_t attributes) {
    std::string trimmed = name;
    if (!trimmed.empty() && trimmed.front() == '\\') trimmed.erase(0, 1);
    if (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
    DirectoryListing listing;
    listing.Name = trimmed;
    listing.AlternateName = MakeShortName(trimmed);
    listing.Time = Now();
    listing.Attr = attributes;
    return AddDirectoryEntry(parent, listing);
}

TDEntry* TOrbelBurner::ForceDirectories(const std::string& path) {
    if (TDEntry* found = FindDirectory(path)) return found;
    const std::size_t cut = path.rfind('\\');
    const std::string parentPath = cut == std::string::npos ? std::string() : path.substr(0, cut);
    const std::string lastName = cut == std::string::npos ? path : path.substr(cut + 1);
    TDEntry* parent = FindDirectory(parentPath);
    if (!parent) {
        ForceDirectories(parentPath);
        parent = FindDirectory(parentPath);
        if (!parent) return nullptr;
    }
    if (lastName.empty()) return nullptr;
    return CreateDirectory(parent, lastName, attr::kDirectory);
}

bool TOrbelBurner::AddFileEntry(TDEntry* dir, const DirectoryListing& listing, bool archiveMode,
                                std::int32_t importedSector, const std::string& sourcePath) {
    if (!dir) return false;
    // A folder has no data of its own: it enters the tree through AddDirectoryEntry, never as a file.
    if (listing.Attr & attr::kDirectory) {
        AddDebugMessage("NOT A FILE: " + sourcePath, logtype::kPath);
        return false;
    }
    if (listing.Size > kMaxRecordableFileSize) {
        AddDebugMessage("FILE TOO LARGE FOR ISO 9660 (4 GB OR MORE): " + sourcePath, logtype::kLimit);
        return false;
    }
    const std::string name = JolietSafeName(listing.Name);
    std::string longName = WithDot(name);
    std::string shortName = WithDot(listing.AlternateName.empty() ? UpperCase(name) : listing.AlternateName);
    // Sources come from case-sensitive Linux folders: only the very same name replaces or is refused.
    TFEntry* existing = dir->m_entries.FindExact(longName);

    double dateTime = listing.Time;
    const auto fileSize = static_cast<std::int64_t>(listing.Size);
    // The Joliet record carries the name without the dot the tree adds to a name without one. A name
    // imported from the disc stays as the disc has it: leaving it out would hide its file from the next
    // session.
    const auto tooLong = [this, &name, importedSector](const std::string& text) {
        const bool dotAdded = name.find('.') == std::string::npos && text == name + ".";
        return importedSector == 0 && JolietFileSystem &&
               Utf16Length(text) - (dotAdded ? 1 : 0) > kMaxJolietFileNameUnits;
    };
    bool skip = Utf16Length(longName) > kMaxLongNameLength || tooLong(longName);
    if (OnAddFile) OnAddFile(this, sourcePath, longName, shortName, dateTime, listing.Attr, fileSize, skip);
    if (skip) return false;
    if (tooLong(longName)) {
        AddDebugMessage("NAME TOO LONG FOR JOLIET: " + sourcePath, logtype::kLimit);
        return false;
    }
    // A handler's new name must not take the name of another entry of the directory.
    if (longName != WithDot(name)) {
        const TFEntry* renamed = dir->m_entries.FindExact(longName);
        if (renamed && renamed != existing) return false;
    }
    // A directory entry is never replaced by a file.
    if (existing && existing->Dir) return false;

    TFEntry* entry = nullptr;
    if (existing && ReplaceFile) {
        entry = existing;
        UnindexEntry(entry);
        if (!entry->Imported) CompilationSize -= SectorsFor(entry->ISOSize) * kSectorSize;
    } else if (existing) {
        return false;
    } else {
        entry = NewFileNode();
        if (!entry) return false;
        AppendEntry(dir, entry);
    }
    entry->ShortName = UpperCase(shortName);
    entry->LongName = longName;
    entry->DotAdded = name.find('.') == std::string::npos && longName == name + ".";
    entry->ISOSize = entry->JolietSize = fileSize;
    entry->Attributes = listing.Attr;
    entry->DateTime = dateTime;
    entry->SourcePath = sourcePath;
    entry->ArchiveMode = archiveMode;
    entry->Dir = nullptr;
    if (importedSector != 0) {
        entry->Extent = entry->JolietExtent = static_cast<std::uint32_t>(importedSector);
        entry->Imported = true;
    } else {
        entry->Imported = false;
        CompilationSize += SectorsFor(fileSize) * kSectorSize;
    }
    IndexEntry(entry);
    return true;
}

std::string TOrbelBurner::KeptPath(const std::string& sourceFolder) const {
    // Components of the Linux path; "." and ".." would make directories of those names, so they go.
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= sourceFolder.size()) {
        const std::size_t slash = std::min(sourceFolder.find('/', at), sourceFolder.size());
        const std::string part = sourceFolder.substr(at, slash - at);
        if (!part.empty() && part != "." && part != "..") parts.push_back(part);
        at = slash + 1;
    }
    if (LastFolderOnly && parts.size() > 1) parts.erase(parts.begin(), parts.end() - 1);
    // Each folder under the name the tree gives it (AddDirectoryEntry), so that the path finds the
    // directories it makes; a backslash inside a Linux name becomes "_" there, not a separator.
    std::string path;
    for (const std::string& part : parts) path += "\\" + JolietSafeName(part);
    return path;
}

int TOrbelBurner::AddFile(const std::string& destPath, const std::string& sourceFile, bool keepSourcePath) {
    TDEntry* target = nullptr;
    if (keepSourcePath) {
        const std::size_t slash = sourceFile.rfind('/');
        const std::string kept =
            KeptPath(slash == std::string::npos ? std::string() : sourceFile.substr(0, slash));
        ForceDirectories(kept);
        target = FindDirectory(kept);
    } else {
        target = FindDirectory(destPath);
    }
    if (!target) {
        AddDebugMessage(kInvalidDestinationMessage, logtype::kPath);
        return 0;
    }
    const auto listing =
        FindFile(sourceFile, attr::kAnyFile, [this](const std::string& line) { LogListing(line); });
    if (!listing) return -1;
    AddFileEntry(target, *listing, false, 0, sourceFile);
    return 1;
}

int TOrbelBurner::AddDirectory(TDEntry* dir, const std::string& sourcePath, const std::string& mask,
                               std::uint32_t attributes, bool recursive, bool keepSourcePath,
                               bool archiveOnly) {
    if (dir && keepSourcePath) {
        // The kept part is cut to its last folder before the destination is put in front, so that
        // LastFolderOnly never moves the folder out of the directory it was added to.
        std::string kept = KeptPath(sourcePath);
        if (!kept.empty()) {
            if (dir != Root) kept = dir->Path + kept;
            ForceDirectories(kept);
            dir = FindDirectory(kept);
        }
    }
    if (!dir) {
        AddDebugMessage(kInvalidDestinationMessage, logtype::kPath);
        return 0;
    }
    return AddDirectoryLevel(dir, sourcePath, mask, attributes, recursive, archiveOnly, true);
}

int TOrbelBurner::AddDirectoryLevel(TDEntry* dir, const std::string& sourcePath, const std::string& mask,
                                    std::uint32_t attributes, bool recursive, bool archiveOnly,
                                    bool topLevel) {
    const std::string folder = sourcePath.empty() || sourcePath.back() == '/' ? sourcePath : sourcePath + "/";
    const FolderListing listing = ListFolder(folder, [this](const std::string& line) { LogListing(line); });
    if (listing.status != ListingStatus::Ok) {
        AddDebugMessage("CANNOT READ FOLDER: " + folder + " (" + listing.error + ")", logtype::kPath);
        // A folder below the one asked for is left out and the add goes on; the one asked for fails.
        return topLevel ? 0 : 1;
    }
    if (recursive) {
        for (const DirectoryListing& item : listing.entries) {
            if (!(item.Attr & attr::kDirectory)) continue;
            DirectoryListing sub = item;
            std::string longName = item.Name;
            std::string shortName = item.AlternateName.empty() ? UpperCase(item.Name) : item.AlternateName;
            bool skip = false;
            if (OnAddDir) OnAddDir(this, longName, shortName, skip);
            if (skip) continue;
            // The handler's names are the directory's names.
            sub.Name = longName;
            sub.AlternateName = shortName;
            if (JolietFileSystem && Utf16Length(JolietSafeName(sub.Name)) > kMaxJolietDirectoryNameUnits) {
                AddDebugMessage("NAME TOO LONG FOR JOLIET: " + folder + item.Name, logtype::kLimit);
                continue;
            }
            if (item.Name == "Installer" && DefaultBeep) DefaultBeep();
            TDEntry* child = AddDirectoryEntry(dir, sub);
            if (!child) return 0;
            const int result =
                AddDirectoryLevel(child, folder + item.Name, mask, attributes, recursive, archiveOnly, false);
            if (!child->FirstEntry) DropEmptyDirectory(child);
            if (result == 0) return 0;
        }
    }
    for (const DirectoryListing& item : listing.entries) {
        if (item.Attr & attr::kDirectory) continue;
        if (!MatchesMask(item.Name, mask) || !PassesAttributeFilter(item.Attr, attributes)) continue;
        if (archiveOnly && !(item.Attr & attr::kArchive)) continue;
        // A refused file (duplicate, full table, skipped by the handler) does not stop the add.
        AddFileEntry(dir, item, archiveOnly, 0, folder + item.Name);
    }
    return 1;
}

void TOrbelBurner::DropEmptyDirectory(TDEntry* dir) {
    if (!dir || dir == Root || dir->FirstEntry) return;
    TDEntry* parent = dir->Parent;
    TFEntry* entry = parent->m_lastEntry;
    while (entry && entry->Dir != dir) entry = entry->m_previous;
    if (entry) {
        UnindexEntry(entry);
        if (entry->m_previous)
            entry->m_previous->Next = entry->Next;
        else
            parent->FirstEntry = entry->Next;
        if (entry->Next)
            entry->Next->m_previous = entry->m_previous;
        else
            parent->m_lastEntry = entry->m_previous;
        if (PreviousEntry == entry) PreviousEntry = nullptr;
        EraseFromBack(m_files, entry);
    }
    auto& samePath = m_directoriesByPath[dir->Path];
    std::erase(samePath, dir);
    if (samePath.empty()) m_directoriesByPath.erase(dir->Path);
    EraseFromBack(ISOOrder, dir);
    EraseFromBack(JolietOrder, dir);
    EraseFromBack(m_directories, dir);
}

} // namespace lorvane::image
