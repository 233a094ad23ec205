#include "image/enumeration.h"

#include "image/iso_lib.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unordered_map>
#include <unordered_set>

namespace lorvane::image {
namespace {

constexpr const char* kDosAttribute = "user.DOSATTRIB";

// Characters a FAT short name may hold besides letters and digits.
bool IsShortNameSymbol(char c) {
    return std::string_view("$%'-_@~`!(){}^#&").find(c) != std::string_view::npos;
}

bool IsShortNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || IsShortNameSymbol(c);
}

// One character of a long name as it goes into an alias: valid characters upper-cased, "+,;=[]" and
// everything else (controls, non-ASCII bytes, "\" ...) as "_".
void AppendAliasCharacters(std::string_view part, std::string& out) {
    for (std::size_t at = 0; at < part.size();) {
        const auto c = static_cast<unsigned char>(part[at]);
        std::size_t length = 1;
        if (c >= 0x80) {
            // One "_" per code point: skip the continuation bytes of the sequence.
            while (at + length < part.size() &&
                   (static_cast<unsigned char>(part[at + length]) & 0xC0) == 0x80)
                ++length;
            out += '_';
        } else if (IsShortNameCharacter(static_cast<char>(c))) {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        } else {
            out += '_';
        }
        at += length;
    }
}

struct AliasParts {
    std::string base; // already mapped and upper case, not yet cut
    std::string extension;
};

AliasParts SplitForAlias(std::string_view name) {
    std::string stripped;
    for (char c : name)
        if (c != ' ') stripped += c;
    const std::size_t firstKept = stripped.find_first_not_of('.');
    stripped = firstKept == std::string::npos ? std::string() : stripped.substr(firstKept);
    const std::size_t lastDot = stripped.rfind('.');
    std::string base = lastDot == std::string::npos ? stripped : stripped.substr(0, lastDot);
    std::string extension = lastDot == std::string::npos ? std::string() : stripped.substr(lastDot + 1);
    std::erase(base, '.');
    AliasParts parts;
    AppendAliasCharacters(base, parts.base);
    AppendAliasCharacters(extension, parts.extension);
    if (parts.base.empty()) parts.base = "_";
    if (parts.extension.size() > 3) parts.extension.resize(3);
    return parts;
}

std::size_t DigitCount(unsigned number) {
    std::size_t digits = 1;
    while (number >= 10) number /= 10, ++digits;
    return digits;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// Days from 1899-12-30 to 1970-01-01.
constexpr std::int64_t kUnixEpochDays = 25569;

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Describes one name of a folder, or nullopt (with a log line) when it is left out.
std::optional<DirectoryListing> Describe(const std::string& path, const std::string& name,
                                         const ListingLog& log) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (log)
            log(error == ENOENT
                    ? "FILE VANISHED: " + path
                    : "CANNOT READ FILE INFORMATION: " + path + " (" + std::strerror(error) + ")");
        return std::nullopt;
    }
    if (S_ISLNK(info.st_mode)) {
        if (stat(path.c_str(), &info) != 0) {
            if (log) log("SKIPPED BROKEN SYMBOLIC LINK: " + path);
            return std::nullopt;
        }
        if (S_ISDIR(info.st_mode)) {
            if (log) log("SKIPPED SYMBOLIC LINK TO A FOLDER: " + path);
            return std::nullopt;
        }
    }
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
        if (log) log("SKIPPED SPECIAL FILE: " + path);
        return std::nullopt;
    }
    DirectoryListing listing;
    listing.Name = name;
    if (S_ISDIR(info.st_mode)) {
        listing.Attr |= attr::kDirectory;
    } else {
        listing.Size = static_cast<std::uint64_t>(info.st_size);
        if (ArchiveBit(path)) listing.Attr |= attr::kArchive;
    }
    if (!name.empty() && name.front() == '.') listing.Attr |= attr::kHidden;
    if ((info.st_mode & S_IWUSR) == 0) listing.Attr |= attr::kReadOnly;
    listing.Time = DateTimeFromUnix(static_cast<std::int64_t>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
    return listing;
}

// Reads the names of a folder, sorted; the status says why not when it cannot be read.
ListingStatus ReadNames(const std::string& folder, std::vector<std::string>& names, std::string& error) {
    DIR* handle = opendir(folder.empty() ? "." : folder.c_str());
    if (!handle) {
        error = std::strerror(errno);
        return errno == ENOENT || errno == ENOTDIR ? ListingStatus::NotFound : ListingStatus::Unreadable;
    }
    errno = 0;
    while (const dirent* item = readdir(handle)) {
        const std::string_view name(item->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    const int readError = errno;
    closedir(handle);
    if (readError != 0) {
        error = std::strerror(readError);
        return ListingStatus::Unreadable;
    }
    std::sort(names.begin(), names.end());
    return ListingStatus::Ok;
}

std::optional<std::uint32_t> ReadDosAttributes(const std::string& path) {
    // Samba writes the "0x.." text followed by a binary blob: room for both, only the text is read.
    char buffer[256];
    const ssize_t length = getxattr(path.c_str(), kDosAttribute, buffer, sizeof buffer - 1);
    if (length <= 0) return std::nullopt;
    const std::string_view text(buffer, static_cast<std::size_t>(length));
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 2; i < text.size() && digits < 8; ++i, ++digits) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    if (digits == 0) return std::nullopt;
    return value;
}

} // namespace

bool PassesAttributeFilter(std::uint32_t attributes, std::uint32_t attrMask) {
    const std::uint32_t excluded =
        ~attrMask & (attr::kHidden | attr::kSysFile | attr::kVolumeId | attr::kDirectory);
    return (attributes & excluded) == 0;
}

bool MatchesMask(std::string_view name, std::string_view mask) {
    if (mask.empty() || mask == "*.*" || mask == "*") return true;
    // Iterative wildcard match with one back-tracking point for the last "*".
    std::size_t n = 0, m = 0, starAt = std::string_view::npos, resumeAt = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
            ++n, ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            starAt = m++;
            resumeAt = n;
        } else if (starAt != std::string_view::npos) {
            m = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

bool IsValidShortName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    const std::size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view extension =
        dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (base.empty() || base.size() > 8) return false;
    if (dot != std::string_view::npos && (extension.empty() || extension.size() > 3)) return false;
    return std::all_of(base.begin(), base.end(), IsShortNameCharacter) &&
           std::all_of(extension.begin(), extension.end(), IsShortNameCharacter);
}

std::vector<std::string> MakeAliases(std::span<const std::string> sortedNames) {
    std::vector<std::string> aliases(sortedNames.size());
    std::vector<bool> needsAlias(sortedNames.size(), false);
    std::unordered_set<std::string> taken;
    taken.reserve(sortedNames.size() * 2);
    // Valid 8.3 names keep their own names first, so an alias can never take a real name's place.
    for (std::size_t i = 0; i < sortedNames.size(); ++i)
        needsAlias[i] = !IsValidShortName(sortedNames[i]) || !taken.insert(UpperCase(sortedNames[i])).second;
    std::unordered_map<std::string, unsigned> nextNumber; // per base and extension
    for (std::size_t i = 0; i < sortedNames.size(); ++i) {
        if (!needsAlias[i]) continue;
        const AliasParts parts = SplitForAlias(sortedNames[i]);
        const std::string key = parts.base.substr(0, 6) + "." + parts.extension;
        unsigned& number = nextNumber.try_emplace(key, 1).first->second;
        for (;; ++number) {
            const std::size_t keep = std::min<std::size_t>(parts.base.size(), 7 - DigitCount(number));
            std::string candidate = parts.base.substr(0, keep) + "~" + std::to_string(number);
            if (!parts.extension.empty()) candidate += "." + parts.extension;
            if (taken.insert(candidate).second) {
                aliases[i] = std::move(candidate);
                ++number;
                break;
            }
        }
    }
    return aliases;
}

double DateTimeFromUnix(std::int64_t seconds, long nanoseconds) {
    const auto when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&when, &local)) return 0;
    const std::int64_t days = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                            static_cast<unsigned>(local.tm_mday)) +
                              kUnixEpochDays;
    const double secondsOfDay =
        local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + static_cast<double>(nanoseconds) / 1e9;
    return static_cast<double>(days) + secondsOfDay / 86400.0;
}

bool ArchiveBit(const std::string& path) {
    const auto value = ReadDosAttributes(path);
    return !value || (*value & attr::kArchive) != 0;
}

bool SetArchiveBit(const std::string& path, bool on) {
    std::uint32_t value = ReadDosAttributes(path).value_or(attr::kArchive);
    value = on ? value | attr::kArchive : value & ~attr::kArchive;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "0x%x", value);
    return setxattr(path.c_str(), kDosAttribute, text, static_cast<std::size_t>(length), 0) == 0;
}

FolderListing ListFolder(const std::string& folder, const ListingLog& log,
                         const std::function<void()>& afterNames) {
    FolderListing result;
    std::vector<std::string> names;
    result.status = ReadNames(folder, names, result.error);
    if (result.status != ListingStatus::Ok) return result;
    if (afterNames) afterNames();
    const std::vector<std::string> aliases = MakeAliases(names);
    result.entries.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto listing = Describe(JoinPath(folder, names[i]), names[i], log);
        if (!listing) continue;
        listing->AlternateName = aliases[i];
        result.entries.push_back(std::move(*listing));
    }
    return result;
}

std::optional<DirectoryListing> FindFile(const std::string& path, std::uint32_t attrMask,
                                         const ListingLog& log) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : trimmed.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    struct stat info {};
    if (lstat(trimmed.c_str(), &info) != 0) return std::nullopt;
    auto listing = Describe(trimmed, name, log);
    if (!listing || !PassesAttributeFilter(listing->Attr, attrMask)) return std::nullopt;
    // The alias must be unique among the folder's names, so the folder's names are read as well. Adding
    // the files of one folder one by one would read it again for every file: the last folder's names
    // and aliases are kept while the folder stays unchanged (same inode, same modification time).
    struct FolderAliases {
        std::string folder;
        dev_t device = 0;
        ino_t inode = 0;
        timespec modified{};
        std::vector<std::string> names;
        std::vector<std::string> aliases;
    };
    thread_local FolderAliases cache;
    struct stat folderInfo {};
    const bool known = stat(folder.c_str(), &folderInfo) == 0;
    const bool fresh = known && cache.folder == folder && cache.device == folderInfo.st_dev &&
                       cache.inode == folderInfo.st_ino &&
                       cache.modified.tv_sec == folderInfo.st_mtim.tv_sec &&
                       cache.modified.tv_nsec == folderInfo.st_mtim.tv_nsec;
    if (!fresh) {
        cache = FolderAliases{};
        std::string error;
        if (known && ReadNames(folder, cache.names, error) == ListingStatus::Ok) {
            cache.folder = folder;
            cache.device = folderInfo.st_dev;
            cache.inode = folderInfo.st_ino;
            cache.modified = folderInfo.st_mtim;
            cache.aliases = MakeAliases(cache.names);
        }
    }
    const auto at = std::lower_bound(cache.names.begin(), cache.names.end(), name);
    if (at != cache.names.end() && *at == name)
        listing->AlternateName = cache.aliases[static_cast<std::size_t>(at - cache.names.begin())];
    else if (!IsValidShortName(name))
        listing->AlternateName = MakeAliases(std::span<const std::string>(&name, 1)).front();
    return listing;
}

} // namespace lorvane::image
