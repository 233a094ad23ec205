#include "cli/sessions.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>
#include <string_view>
#include <vector>

#include "app/core/disc_report.h"
#include "cli/cli.h"
#include "cli/compilation.h"

namespace lorvane::cli {

namespace fs = std::filesystem;

namespace {

// The viewer clears the compilation to this room before it imports a session.
constexpr int kViewerMaxFiles = 65535;
constexpr int kViewerMaxDirectories = 8191;

// A local date-time (days since 1899-12-30) as "YYYY-MM-DD HH:MM".
std::string FormatDate(double dateTime) {
    // Whole seconds first (the value carries rounding noise), then the minute the time falls in.
    const double minutes = std::floor(std::floor(dateTime * 86400.0 + 0.5) / 60.0);
    if (!std::isfinite(minutes) || minutes < -1e12 || minutes > 1e12) return "(no valid date)";
    const auto totalMinutes = static_cast<std::int64_t>(minutes);
    std::int64_t days = totalMinutes / 1440;
    std::int64_t minuteOfDay = totalMinutes % 1440;
    if (minuteOfDay < 0) {
        minuteOfDay += 1440;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const std::int64_t z = days - 25569 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(minuteOfDay / 60), static_cast<long long>(minuteOfDay % 60));
    return text;
}

// DISC-PATH as the tree spells directory paths: "\" then the names joined by "\"; "" for the root.
std::string TreePath(const std::string& discPath) {
    std::string path;
    std::size_t at = 0;
    while (at <= discPath.size()) {
        const std::size_t slash = std::min(discPath.find('/', at), discPath.size());
        const std::string part = discPath.substr(at, slash - at);
        if (!part.empty() && part != ".") path += "\\" + part;
        at = slash + 1;
    }
    return path;
}

// What DISC-PATH names in the imported tree: a directory, or a file entry of one.
struct DiscTarget {
    image::TDEntry* dir = nullptr;  // the folder named, or the folder holding the file
    image::TFEntry* file = nullptr; // the file named; nullptr for a folder
};

std::optional<DiscTarget> FindOnDisc(image::TOrbelBurner& burner, const std::string& discPath) {
    const std::string path = TreePath(discPath);
    if (path.empty()) return DiscTarget{burner.Root, nullptr};
    if (image::TDEntry* dir = burner.FindDirectory(path)) return DiscTarget{dir, nullptr};
    const std::size_t cut = path.rfind('\\');
    image::TDEntry* parent = burner.FindDirectory(path.substr(0, cut));
    if (!parent) return std::nullopt;
    image::TFEntry* entry = burner.FindEntry(parent, path.substr(cut + 1));
    if (!entry) return std::nullopt;
    if (entry->Dir) return DiscTarget{entry->Dir, nullptr};
    return DiscTarget{parent, entry};
}

// Imports the session asked for into an emptied tree, as the disc information window does. Returns
// the exit status on failure, with the reason on err. incomplete: a drive command failed while the
// folders were read, so the tree may lack what those sectors held (the import itself goes on).
std::optional<int> ImportForBrowsing(image::TOrbelBurner& burner, const Invocation& invocation,
                                     std::ostream& err, bool& incomplete) {
    incomplete = false;
    burner.ClearCompilation(kViewerMaxFiles, kViewerMaxDirectories);
    const int last = burner.GetLastSession();
    if (last == 0) {
        err << kProgram << ": the disc holds no complete session (no disc, a blank disc, or no answer)\n";
        return kExitFailed;
    }
    const int wanted = invocation.session.value_or(-1);
    if (wanted > last) {
        err << kProgram << ": there is no session " << wanted << ": the disc holds " << last
            << (last == 1 ? " session\n" : " sessions\n");
        return kExitFailed;
    }
    RouteLog(burner, invocation.common.log, err);
    // Failed commands are logged with "<<< "; during the walk they can only be unreadable sectors.
    const auto shown = burner.OnDebugMessage;
    burner.OnDebugMessage = [&shown, &incomplete](drive::TSCSIDevice* sender, const std::string& line,
                                                  std::uint8_t mType) {
        if (line.rfind("<<< ", 0) == 0) incomplete = true;
        shown(sender, line, mType);
    };
    const bool imported = burner.ImportDiscSession(wanted, nullptr);
    burner.OnDebugMessage = shown;
    if (!imported) {
        err << kProgram << ": cannot read session " << (wanted == -1 ? last : wanted)
            << ": no ISO 9660 file system was found in it, or the disc could not be read\n";
        return kExitFailed;
    }
    return std::nullopt;
}

std::string ListLine(const image::TFEntry& entry) {
    char size[32] = "";
    if (!entry.Dir) std::snprintf(size, sizeof size, "%lld", static_cast<long long>(entry.ISOSize));
    char head[64];
    std::snprintf(head, sizeof head, "%12s  %s  ", size, FormatDate(entry.DateTime).c_str());
    return head + DiscEntryName(entry) + (entry.Dir ? "/" : "");
}

// One file to copy: the entry and where it goes.
struct Copy {
    const image::TFEntry* entry;
    std::string discPath;
    fs::path local;
};

// The local name of an entry, with a notice on err when the disc's name had to change.
std::string LocalName(const image::TFEntry& entry, const std::string& discPath, std::ostream& err) {
    const std::string name = DiscEntryName(entry);
    const auto safe = SafeLocalName(name);
    if (!safe) return name;
    err << kProgram << ": the name of '" << discPath << "' on the disc would leave its folder; written as '"
        << *safe << "'\n";
    return *safe;
}

// Every file below dir (depth first, in list order) with its local path under into; the folders
// to create go to folders, parents first.
void PlanFolder(const image::TDEntry* dir, const std::string& discPath, const fs::path& into,
                std::vector<Copy>& copies, std::vector<fs::path>& folders, std::ostream& err) {
    for (const image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
        const std::string childPath = discPath + "/" + DiscEntryName(*entry);
        const fs::path local = into / LocalName(*entry, childPath, err);
        if (entry->Dir) {
            folders.push_back(local);
            PlanFolder(entry->Dir, childPath, local, copies, folders, err);
        } else {
            copies.push_back({entry, childPath, local});
        }
    }
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

bool IsFolder(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::symlink_status(path, error));
}

// DEST itself may be a link to a folder; the folders made below it are never links.
bool IsDestinationFolder(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::status(path, error));
}

// The status of a verb that worked on a tree whose folders could not all be read.
int Unreadable(bool incomplete, const char* consequence, std::ostream& err) {
    if (!incomplete) return kExitOk;
    err << kProgram << ": some folders of the session could not be read; " << consequence << '\n';
    return kExitFailed;
}

} // namespace

int Sessions(image::TOrbelBurner& burner, std::ostream& out) {
    const app::DiscReport report = app::ReadDiscReport(burner);
    out << app::kSessionListHeader << '\n';
    for (const std::string& line : report.lines) out << line << '\n';
    return report.ready ? kExitOk : kExitFailed;
}

int ListSession(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out,
                std::ostream& err) {
    bool incomplete = false;
    if (const auto failed = ImportForBrowsing(burner, invocation, err, incomplete)) return *failed;
    const std::string discPath = invocation.operands.empty() ? "/" : invocation.operands.front();
    const auto target = FindOnDisc(burner, discPath);
    if (!target) {
        err << kProgram << ": no such file or folder on the disc: " << discPath << '\n';
        return kExitFailed;
    }
    if (target->file) {
        out << ListLine(*target->file) << '\n';
        return Unreadable(incomplete, "the listing may be incomplete", err);
    }
    for (const image::TFEntry* entry = target->dir->FirstEntry; entry; entry = entry->Next)
        out << ListLine(*entry) << '\n';
    return Unreadable(incomplete, "the listing may be incomplete", err);
}

int ExtractSession(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out,
                   std::ostream& err) {
    if (invocation.operands.size() != 2) {
        err << kProgram << ": extract needs DISC-PATH and DEST\n";
        return kExitUsage;
    }
    const std::string& discPath = invocation.operands[0];
    const fs::path dest = invocation.operands[1];
    bool incomplete = false;
    if (const auto failed = ImportForBrowsing(burner, invocation, err, incomplete)) return *failed;
    const auto target = FindOnDisc(burner, discPath);
    if (!target) {
        err << kProgram << ": no such file or folder on the disc: " << discPath << '\n';
        return kExitFailed;
    }

    std::vector<Copy> copies;
    std::vector<fs::path> folders;
    if (target->file) {
        const fs::path local =
            IsDestinationFolder(dest) ? dest / LocalName(*target->file, discPath, err) : dest;
        copies.push_back({target->file, discPath, local});
    } else {
        if (Exists(dest) && !IsDestinationFolder(dest)) {
            err << kProgram << ": '" << dest.string()
                << "' is not a folder; a disc folder is extracted into a folder\n";
            return kExitFailed;
        }
        folders.push_back(dest);
        const std::string base = discPath == "/" ? "" : discPath;
        PlanFolder(target->dir, base, dest, copies, folders, err);
    }

    // Refuse before anything is written: no local file is ever replaced, and no two disc files may
    // land on the same local name.
    std::set<fs::path> planned;
    for (const fs::path& folder : folders) {
        if (folder != dest && Exists(folder) && !IsFolder(folder)) {
            err << kProgram << ": '" << folder.string()
                << "' exists and is not a folder; nothing extracted\n";
            return kExitFailed;
        }
    }
    for (const Copy& copy : copies) {
        if (Exists(copy.local)) {
            err << kProgram << ": '" << copy.local.string()
                << "' exists; it is not overwritten, nothing extracted\n";
            return kExitFailed;
        }
        if (!planned.insert(copy.local).second) {
            err << kProgram << ": two files of the disc would both be written to '" << copy.local.string()
                << "'; nothing extracted\n";
            return kExitFailed;
        }
        if (!copy.entry->Imported && copy.entry->ISOSize > 0) {
            err << kProgram << ": '" << copy.discPath << "' records no place of its data on the disc\n";
            return kExitFailed;
        }
    }
    for (const fs::path& folder : folders) {
        std::error_code error;
        const bool present = folder == dest ? IsDestinationFolder(folder) : IsFolder(folder);
        if (!present && !fs::create_directory(folder, error)) {
            err << kProgram << ": cannot create the folder '" << folder.string() << "': " << error.message()
                << '\n';
            return kExitFailed;
        }
    }

    for (const Copy& copy : copies) {
        bool complete = false;
        try {
            complete = burner.ExtractFile(copy.entry, copy.local.string());
        } catch (const image::ImageWriteError& e) {
            // A copy that was created and then could not be written (a full disk) is only part of the file.
            const bool started = std::string_view(e.what()).starts_with("CAN'T WRITE");
            if (started) {
                std::error_code ignored;
                fs::remove(copy.local, ignored);
            }
            err << kProgram << ": cannot write '" << copy.local.string() << "' (" << e.what() << ")"
                << (started ? "; the partial copy was removed\n" : "\n");
            return kExitFailed;
        }
        if (!complete) {
            // A shortened copy would look like the file; it goes, and the reason is given.
            std::error_code ignored;
            fs::remove(copy.local, ignored);
            err << kProgram << ": a sector of '" << copy.discPath << "' could not be read";
            if (!burner.LastErrorText.empty()) err << " (" << burner.LastErrorText << ")";
            err << "; the partial copy was removed\n";
            return kExitFailed;
        }
    }
    out << copies.size() << (copies.size() == 1 ? " file" : " files") << " extracted\n";
    return Unreadable(incomplete, "files in them were not extracted", err);
}

} // namespace lorvane::cli
