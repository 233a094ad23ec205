#pragma once
// The file enumeration layer: sorted folder listings with Windows attribute bits, 64-bit sizes, local
// date-times and Windows-style 8.3 aliases, as the compilation tree expects them from a find-first /
// find-next enumeration.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::image {

// What one enumerated name carries.
struct DirectoryListing {
    std::string Name;          // the long name as the folder holds it (UTF-8 bytes, unchanged)
    std::string AlternateName; // 8.3 alias; empty when Name is itself a valid 8.3 name
    std::uint32_t Attr = 0;    // attr:: bits
    std::uint64_t Size = 0;    // 0 for folders
    double Time = 0;           // modification time, days since 1899-12-30, local time
};

enum class ListingStatus { Ok, NotFound, Unreadable };

struct FolderListing {
    ListingStatus status = ListingStatus::Ok;
    std::string error;                     // the system's reason when status is not Ok
    std::vector<DirectoryListing> entries; // sorted by name (byte order), "." and ".." left out
};

// Receives one upper-case line for every name the listing had to leave out.
using ListingLog = std::function<void(const std::string& line)>;

// Lists a folder. Symbolic links to files are followed (the file's own attributes, size and date are
// reported); links to folders are left out, because ISO 9660 cannot record a link and following them
// can loop; broken links, sockets, pipes and device nodes are left out. Every name left out, and every
// name that vanished between reading the folder and looking at it, gets a log line. afterNames, when
// given, runs between reading the names and looking at them (tests use it to make a file vanish).
FolderListing ListFolder(const std::string& folder, const ListingLog& log,
                         const std::function<void()>& afterNames = {});

// One file or folder by its path, with an alias unique in its folder; nullopt when it does not exist,
// is left out by the rules of ListFolder, or is excluded by attrMask.
std::optional<DirectoryListing> FindFile(const std::string& path, std::uint32_t attrMask,
                                         const ListingLog& log);

// The find-first attribute filter: hidden, system, volume and directory names are kept only when
// their bits are in attrMask; read-only and archive never exclude.
bool PassesAttributeFilter(std::uint32_t attributes, std::uint32_t attrMask);

// Wildcard match of a name against a mask with "*" and "?", case-sensitive as Linux names are;
// "*.*" and "*" match every name, "" means "*.*".
bool MatchesMask(std::string_view name, std::string_view mask);

// Whether the name is a valid 8.3 name: one to eight base characters, at most one dot followed by
// one to three characters, every character from the FAT short-name set (case ignored).
bool IsValidShortName(std::string_view name);

// The 8.3 aliases of every name of one folder, in the same order; names sorted by byte order. A valid
// 8.3 name needs no alias (empty), unless an earlier name already took its upper-case form; the others
// get up to six valid characters, "~" and the lowest number unused in the folder, up to three
// extension characters, upper case. No two names of the folder end up with the same short name.
std::vector<std::string> MakeAliases(std::span<const std::string> sortedNames);

// Seconds and nanoseconds since 1970 as a local date-time (days since 1899-12-30).
double DateTimeFromUnix(std::int64_t seconds, long nanoseconds);

// The archive bit as recorded in the `user.DOSATTRIB` extended attribute ("0x20" form, as Samba and
// Wine write it): set when the file has none or an unreadable one.
bool ArchiveBit(const std::string& path);

// Writes `user.DOSATTRIB` with the archive bit on or off, keeping its other bits. False when the file
// system refuses extended attributes or the file is gone.
bool SetArchiveBit(const std::string& path, bool on);

} // namespace lorvane::image
