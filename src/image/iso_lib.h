#pragma once
// The compilation tree's records (TDEntry, TFEntry) and the pure naming rules of the ISO 9660 and
// Joliet trees.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::image {

class TOrbelBurner;
struct TFEntry;

// The entries of one directory by long name. A lookup gives the entry that walking the directory's
// list from its first entry would find first, without the walk. It holds only pointers (an open
// hash table with linear probing, ASCII case folded into the hash), so that a compilation of
// hundreds of thousands of entries does not keep a second copy of every name. An entry must be
// erased before its long name changes and inserted again afterwards.
class EntryNameIndex {
public:
    void Insert(TFEntry* entry);
    void Erase(const TFEntry* entry);
    // The first entry in list order whose long name is exactly `name`; with directoriesOnly, the first
    // such directory entry.
    TFEntry* FindExact(std::string_view name, bool directoriesOnly = false) const;
    // The first entry in list order whose long name equals `name` when a-z are upper-cased.
    TFEntry* FindFolded(std::string_view name) const;

private:
    template <typename Match> TFEntry* FindFirst(std::string_view name, Match match) const;
    std::vector<TFEntry*> m_slots; // a power of two in size, nullptr for a free slot
    std::size_t m_count = 0;
};

// Windows attribute bits, as the enumeration layer reports them and the directory records use them.
namespace attr {
inline constexpr std::uint32_t kReadOnly = 0x01;
inline constexpr std::uint32_t kHidden = 0x02;
inline constexpr std::uint32_t kSysFile = 0x04;
inline constexpr std::uint32_t kVolumeId = 0x08;
inline constexpr std::uint32_t kDirectory = 0x10;
inline constexpr std::uint32_t kArchive = 0x20;
inline constexpr std::uint32_t kAnyFile = 0x3F;
} // namespace attr

// One directory of the compilation, the root included.
struct TDEntry {
    std::string ShortName; // ISO 9660 tree and path tables
    std::string LongName;  // Joliet tree and path tables
    std::int64_t ISOSize = 0;
    std::int64_t JolietSize = 0;
    std::string Path; // "\" then the upper-cased long names from the root down, joined by "\"
    std::uint32_t ISOExtent = 0;
    std::uint32_t JolietExtent = 0;
    std::uint8_t Level = 0; // the root is 1
    std::uint32_t Number = 0;
    TDEntry* Parent = nullptr; // the root is its own parent
    TFEntry* FirstEntry = nullptr;

private:
    friend class TOrbelBurner;
    // Indexes kept by the tree so that adding stays linear in the number of entries; they give the
    // same answers as walking the list.
    TFEntry* m_lastEntry = nullptr;
    EntryNameIndex m_entries;
};

// One file or sub-directory entry in its directory's singly linked list.
struct TFEntry {
    std::string ShortName; // ISO 9660 name, upper case
    std::string LongName;  // Joliet name
    std::string SourcePath;
    bool Imported = false;
    double DateTime = 0; // days since 1899-12-30, local time
    std::int64_t ISOSize = 0;
    std::int64_t JolietSize = 0;
    std::uint32_t Extent = 0;
    std::uint32_t JolietExtent = 0;
    std::uint32_t Attributes = 0;
    bool ArchiveMode = false;
    // The tree put the "." at the end of LongName for a name without one (for lookups); the Joliet
    // record carries the name as it was, so that Linux readers show it unchanged.
    bool DotAdded = false;
    TDEntry* Dir = nullptr; // the sub-directory a directory entry stands for
    TFEntry* Next = nullptr;

private:
    friend class TOrbelBurner;
    friend class EntryNameIndex;
    TFEntry* m_previous = nullptr; // back link, so removal need not walk the list
    std::uint64_t m_order = 0;     // position stamp: later entries of a directory have larger stamps
    TDEntry* m_owner = nullptr;    // the directory whose list holds this entry
};

inline constexpr std::size_t kMaxLongNameLength = 127;
// The longest Joliet identifier a session import takes (two bytes per UTF-16 unit, ";1" included). A
// record could hold 222 bytes (255 less the 33 fixed ones), but a name the import leaves out would drop
// its file, or its folder with everything below, from the next session of the disc.
inline constexpr std::size_t kMaxImportedJolietIdentifier = 214;
// The longest Joliet name the tree takes, in UTF-16 units as recorded (without the dot the tree adds to
// a file name without one, and without ";1"): 103, the most that mkisofs and xorriso write and that
// libarchive reads back whole (it cuts longer names). It also stays within what the import reads back.
inline constexpr std::size_t kMaxJolietFileNameUnits = 103;
inline constexpr std::size_t kMaxJolietDirectoryNameUnits = 103;
static_assert(kMaxJolietFileNameUnits * 2 + 4 <= kMaxImportedJolietIdentifier);

// ASCII upper-casing (a-z only); other bytes, UTF-8 sequences included, are left alone.
std::string UpperCase(std::string_view text);

// The first 13 characters (code points) of the name, a-z upper-cased, every character of code 32 or
// below or 123 or above replaced by "_".
std::string MakeShortName(std::string_view name);

// The name as a Joliet identifier may hold it: characters Joliet forbids (controls, "*", "/", ":",
// ";", "?", "\") and bytes that are not valid UTF-8 become "_".
std::string JolietSafeName(std::string_view name);

// UTF-8 to UTF-16 code units; invalid bytes give U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::size_t Utf16Length(std::string_view text);

// The number of code points of a UTF-8 text (invalid bytes count one each).
std::size_t CodePointCount(std::string_view text);

} // namespace lorvane::image
