// Taking entries out of the compilation tree, and what the tree does for its local sources (their total
// size, their archive bits after a write).

#include <unordered_set>

#include "image/orbel_burner.h"

namespace lorvane::image {

namespace {

// Every entry and directory below dir, the directory records included.
void CollectSubtree(const TDEntry* dir, std::unordered_set<const void*>& files,
                    std::unordered_set<const void*>& dirs) {
    for (const TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
        files.insert(entry);
        if (entry->Dir && dirs.insert(entry->Dir).second) CollectSubtree(entry->Dir, files, dirs);
    }
}

} // namespace

bool TOrbelBurner::RemoveNode(TDEntry* dir, TFEntry* node) {
    if (!dir || !node || node->m_owner != dir) return false;
    const std::pair<TDEntry*, TFEntry*> one{dir, node};
    RemoveEntries(std::span(&one, 1));
    return true;
}

void TOrbelBurner::RemoveEntries(std::span<const std::pair<TDEntry*, TFEntry*>> entries) {
    std::unordered_set<const void*> files;
    std::unordered_set<const void*> dirs;
    for (const auto& [dir, node] : entries) {
        if (!files.insert(node).second) continue;
        if (node->Dir && node->Dir != Root && dirs.insert(node->Dir).second)
            CollectSubtree(node->Dir, files, dirs);
        UnindexEntry(node);
        if (node->m_previous)
            node->m_previous->Next = node->Next;
        else
            dir->FirstEntry = node->Next;
        if (node->Next)
            node->Next->m_previous = node->m_previous;
        else
            dir->m_lastEntry = node->m_previous;
    }
    if (PreviousEntry && files.contains(PreviousEntry)) PreviousEntry = nullptr;

    for (const auto& file : m_files)
        if (files.contains(file.get()) && !file->Dir && !file->Imported)
            CompilationSize -= SectorsFor(file->ISOSize) * kSectorSize;
    for (const void* removed : dirs) {
        const auto* removedDir = static_cast<const TDEntry*>(removed);
        const auto samePath = m_directoriesByPath.find(removedDir->Path);
        if (samePath == m_directoriesByPath.end()) continue;
        std::erase(samePath->second, removedDir);
        if (samePath->second.empty()) m_directoriesByPath.erase(samePath);
    }
    // One pass over each table, whatever the number of entries removed.
    std::erase_if(ISOOrder, [&](const TDEntry* d) { return dirs.contains(d); });
    std::erase_if(JolietOrder, [&](const TDEntry* d) { return dirs.contains(d); });
    std::erase_if(m_files, [&](const std::unique_ptr<TFEntry>& f) { return files.contains(f.get()); });
    std::erase_if(m_directories, [&](const std::unique_ptr<TDEntry>& d) { return dirs.contains(d.get()); });
}

bool TOrbelBurner::RemoveDirectory(TDEntry*& dir) {
    if (!dir || dir == Root) return false;
    TDEntry* parent = dir->Parent;
    TFEntry* entry = parent ? parent->m_lastEntry : nullptr;
    while (entry && entry->Dir != dir) entry = entry->m_previous;
    if (!entry || !RemoveNode(parent, entry)) return false;
    dir = nullptr;
    return true;
}

bool TOrbelBurner::RemoveFileByName(const std::string& dirPath, const std::string& name) {
    TDEntry* dir = FindDirectory(dirPath);
    if (!dir) return false;
    TFEntry* entry = FindEntry(dir, name);
    return entry ? RemoveNode(dir, entry) : false;
}

bool TOrbelBurner::RemoveEmptyDirectories() {
    // Each pass takes every directory that is empty now; a parent left empty goes in the next pass.
    for (;;) {
        std::vector<std::pair<TDEntry*, TFEntry*>> empty;
        for (std::size_t at = 1; at < m_directories.size(); ++at) {
            TDEntry* dir = m_directories[at].get();
            if (dir->FirstEntry || !dir->Parent) continue;
            for (TFEntry* entry = dir->Parent->m_lastEntry; entry; entry = entry->m_previous) {
                if (entry->Dir == dir) {
                    empty.emplace_back(dir->Parent, entry);
                    break;
                }
            }
        }
        if (empty.empty()) return true;
        RemoveEntries(empty);
    }
}

bool TOrbelBurner::ClearArchiveBits() {
    for (const auto& file : m_files)
        if (!file->Dir && (file->Attributes & attr::kArchive) && file->ArchiveMode)
            (void)SetArchiveBit(file->SourcePath, false);
    return true;
}

std::int64_t TOrbelBurner::GetPathSize(const std::string& path) {
    const auto quiet = [](const std::string&) {};
    if (path.empty() || path.back() != '/') {
        const auto listing = FindFile(path, attr::kAnyFile, quiet);
        return listing && !(listing->Attr & attr::kDirectory) ? static_cast<std::int64_t>(listing->Size) : 0;
    }
    std::int64_t total = 0;
    const FolderListing listing = ListFolder(path, quiet);
    for (const DirectoryListing& item : listing.entries)
        total += (item.Attr & attr::kDirectory) ? GetPathSize(path + item.Name + "/")
                                                : static_cast<std::int64_t>(item.Size);
    return total;
}

} // namespace lorvane::image
