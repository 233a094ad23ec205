#include "image/orbel_burner.h"

#include "temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <utility>

namespace lorvane::image {
namespace {

using testing::RunningAsRoot;
using testing::TempTree;

struct LogLine {
    std::string text;
    std::uint8_t type;
    bool operator==(const LogLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << '"' << line.text << "\" (" << int(line.type) << ')';
}

class Burner : public ::testing::Test {
protected:
    Burner() {
        burner.OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& text, std::uint8_t type) {
            log.push_back({text, type});
        };
    }
    static DirectoryListing File(std::string name, std::uint64_t size = 0, std::string alias = {}) {
        return {std::move(name), std::move(alias), attr::kArchive, size, 45000.0};
    }
    static DirectoryListing Folder(std::string name, std::string alias = {}) {
        return {std::move(name), std::move(alias), attr::kDirectory, 0, 45000.0};
    }
    std::vector<std::string> LongNames(const TDEntry* dir) const {
        std::vector<std::string> names;
        for (const TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next)
            names.push_back(entry->LongName);
        return names;
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& dir : burner.Directories()) paths.push_back(dir->Path);
        return paths;
    }

    TOrbelBurner burner;
    std::vector<LogLine> log;
};

TEST_F(Burner, StartsWithTheComponentDefaults) {
    EXPECT_TRUE(burner.JolietFileSystem);
    EXPECT_TRUE(burner.FinalizeTrack);
    EXPECT_TRUE(burner.UnderrunProtection);
    EXPECT_TRUE(burner.WritePostGap);
    EXPECT_FALSE(burner.ReplaceFile);
    EXPECT_FALSE(burner.PerformOPC);
    EXPECT_EQ(burner.CacheSize(), 4194304);
    EXPECT_EQ(burner.MaxFiles(), 65535);
    EXPECT_EQ(burner.MaxDirectories(), 8191);
    burner.SetVersion("9.9");
    EXPECT_EQ(burner.Version(), "1.1.8");
}

TEST_F(Burner, CacheSizeIsClampedAndRoundedToWholeSectors) {
    constexpr std::pair<int, int> kCases[] = {{0, 2097152},       {-1, 2097152},      {2097151, 2097152},
                                              {2097152, 2097152}, {4194303, 4192256}, {4194304, 4194304}};
    for (const auto& [value, stored] : kCases) {
        SCOPED_TRACE(value);
        burner.SetCacheSize(value);
        EXPECT_EQ(burner.CacheSize(), stored);
    }
}

TEST_F(Burner, TotalSectorsPadsShortSessionsOnlyWithPostGap) {
    constexpr struct {
        std::int64_t session;
        bool postGap;
        std::int64_t total;
    } kCases[] = {{200, true, 300}, {200, false, 200}, {301, true, 301}, {301, false, 301}, {300, true, 300}};
    for (const auto& [session, postGap, total] : kCases) {
        SCOPED_TRACE(::testing::Message() << session << ' ' << postGap);
        burner.SessionSectors = session;
        burner.WritePostGap = postGap;
        EXPECT_EQ(burner.TotalSectors(), total);
    }
}

TEST_F(Burner, ClearedCompilationHasOnlyTheRoot) {
    burner.AddFileEntry(burner.Root, File("a.txt", 5000), false, 0, "/x/a.txt");
    ASSERT_TRUE(burner.ClearCompilation(600000, 20000));
    TDEntry* root = burner.Root;
    EXPECT_EQ(root->ShortName, "CD_ROOT");
    EXPECT_EQ(root->LongName, "CD Root Directory");
    EXPECT_EQ(root->Path, "\\");
    EXPECT_EQ(root->Level, 1);
    EXPECT_EQ(root->Parent, root);
    EXPECT_EQ(root->FirstEntry, nullptr);
    EXPECT_EQ(burner.FindDirectory(""), root);
    EXPECT_EQ(burner.FindDirectory("\\"), root);
    EXPECT_EQ(burner.DirectoryCount(), 0);
    EXPECT_EQ(burner.FileCount(), 0);
    EXPECT_EQ(burner.CompilationSize, 0);
    ASSERT_EQ(burner.Directories().size(), 1u);
    EXPECT_EQ(burner.ISOOrder, std::vector<TDEntry*>{root});
    EXPECT_EQ(burner.JolietOrder, std::vector<TDEntry*>{root});
}

TEST_F(Burner, DirectoriesAreFoundByTheirUpperCasePath) {
    TDEntry* docs = burner.CreateDirectory(burner.Root, "\\Docs\\", attr::kDirectory);
    TDEntry* old = burner.CreateDirectory(docs, "Old", attr::kDirectory);
    ASSERT_TRUE(docs && old);
    EXPECT_EQ(docs->Path, "\\DOCS");
    EXPECT_EQ(old->Path, "\\DOCS\\OLD");
    EXPECT_EQ(old->Level, 3);
    EXPECT_EQ(docs->ShortName, "DOCS");
    EXPECT_EQ(docs->LongName, "Docs");
    constexpr std::pair<const char*, int> kLookups[] = {{"\\docs\\", 1},    {"\\DOCS", 1},
                                                        {"\\docs\\old", 2}, {"\\docs\\old\\", 2},
                                                        {"\\nothing", 0},   {"docs", 0}};
    const TDEntry* expected[] = {nullptr, docs, old};
    for (const auto& [path, which] : kLookups) {
        SCOPED_TRACE(path);
        EXPECT_EQ(burner.FindDirectory(path), expected[which]);
    }
    EXPECT_EQ(burner.DirectoryCount(), 2);
    EXPECT_EQ(burner.FileCount(), 2);
}

TEST_F(Burner, ForceDirectoriesCreatesEveryMissingLevel) {
    TDEntry* deep = burner.ForceDirectories("\\a\\b\\c");
    ASSERT_TRUE(deep);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\A", "\\A\\B", "\\A\\B\\C"}));
    EXPECT_EQ(burner.ForceDirectories("\\A\\B\\C"), deep);   // found, nothing new
    const TDEntry* plain = burner.ForceDirectories("plain"); // no "\": under the root
    EXPECT_EQ(plain, burner.FindDirectory("\\PLAIN"));
    // A trailing "\" creates the directories but gives none.
    EXPECT_EQ(burner.ForceDirectories("\\x\\y\\"), nullptr);
    EXPECT_NE(burner.FindDirectory("\\X\\Y"), nullptr);
}

TEST_F(Burner, TableLimitsRefuseWithTheirLines) {
    burner.ClearCompilation(10, 2);
    EXPECT_NE(burner.CreateDirectory(burner.Root, "one", attr::kDirectory), nullptr);
    EXPECT_EQ(burner.CreateDirectory(burner.Root, "two", attr::kDirectory), nullptr);
    EXPECT_EQ(log, (std::vector<LogLine>{{">>> MAXIMUM DIRECTORIES CAN BE 2", 3}}));
    EXPECT_EQ(burner.DirectoryCount(), 1);
    EXPECT_EQ(burner.FileCount(), 1);

    log.clear();
    burner.ClearCompilation(1, 5);
    EXPECT_TRUE(burner.AddFileEntry(burner.Root, File("a.txt"), false, 0, "/a.txt"));
    EXPECT_FALSE(burner.AddFileEntry(burner.Root, File("b.txt"), false, 0, "/b.txt"));
    // A directory needs an entry too: with no entry left, no half-made directory stays.
    EXPECT_EQ(burner.CreateDirectory(burner.Root, "dir", attr::kDirectory), nullptr);
    EXPECT_EQ(log, (std::vector<LogLine>{{"MAXIMUM FILES CAN BE 1", 3}, {"MAXIMUM FILES CAN BE 1", 3}}));
    EXPECT_EQ(burner.DirectoryCount(), 0);
    EXPECT_EQ(burner.ISOOrder.size(), 1u);
    EXPECT_EQ(LongNames(burner.Root), std::vector<std::string>{"a.txt"});
}

TEST_F(Burner, DirectoriesStopAtLevel255) {
    TDEntry* dir = burner.Root;
    for (int level = 2; level <= 255; ++level) {
        dir = burner.CreateDirectory(dir, "d", attr::kDirectory);
        ASSERT_NE(dir, nullptr) << level;
    }
    EXPECT_EQ(dir->Level, 255);
    EXPECT_EQ(burner.CreateDirectory(dir, "d", attr::kDirectory), nullptr);
    EXPECT_EQ(log, (std::vector<LogLine>{{"MAXIMUM DIRECTORY DEPTH IS 255", 3}}));
    EXPECT_EQ(burner.DirectoryCount(), 254);
}

TEST_F(Burner, FileAndFolderNamesGetTheirShortAndLongForms) {
    constexpr struct {
        const char* name;
        const char* alias;
        bool folder;
        const char* shortName;
        const char* longName;
    } kCases[] = {
        {"notes", "", false, "NOTES.", "notes."},
        {"notes", "", true, "NOTES", "notes"},
        {"readme.txt", "", false, "README.TXT", "readme.txt"},
        {"Long File Name.txt", "LONGFI~1.TXT", false, "LONGFI~1.TXT", "Long File Name.txt"},
        {"archive.tar.gz", "ARCHIV~1.GZ", false, "ARCHIV~1.GZ", "archive.tar.gz"},
        {".bashrc", "BASHRC~1", false, "BASHRC~1.", ".bashrc"},
        {"semi;colon.txt", "SEMI_C~1.TXT", false, "SEMI_C~1.TXT", "semi_colon.txt"},
        {"back\\slash", "BACK_S~1", false, "BACK_S~1.", "back_slash."},
        {"caf\xC3\xA9 cr\xC3\xA8me", "CAF_CR~1", true, "CAF_CR~1", "caf\xC3\xA9 cr\xC3\xA8me"},
    };
    for (const auto& [name, alias, folder, shortName, longName] : kCases) {
        SCOPED_TRACE(::testing::Message() << name << (folder ? " (folder)" : ""));
        burner.ClearCompilation(100, 100);
        if (folder)
            ASSERT_TRUE(burner.AddDirectoryEntry(burner.Root, Folder(name, alias)));
        else
            ASSERT_TRUE(burner.AddFileEntry(burner.Root, File(name, 0, alias), false, 0, "/src/x"));
        const TFEntry* entry = burner.Root->FirstEntry;
        EXPECT_EQ(entry->ShortName, shortName);
        EXPECT_EQ(entry->LongName, longName);
        if (folder) {
            EXPECT_EQ(entry->Dir->ShortName, shortName);
            EXPECT_EQ(entry->Dir->LongName, longName);
        }
    }
}

TEST_F(Burner, CompilationSizeCountsWholeSectors) {
    constexpr std::pair<std::uint64_t, std::int64_t> kCases[] = {
        {0, 0}, {1, 2048}, {2048, 2048}, {2049, 4096}, {4294967295u, 4294967296}};
    for (const auto& [size, counted] : kCases) {
        SCOPED_TRACE(size);
        burner.ClearCompilation(10, 10);
        ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("f.bin", size), false, 0, "/f.bin"));
        EXPECT_EQ(burner.CompilationSize, counted);
        EXPECT_EQ(burner.Root->FirstEntry->ISOSize, static_cast<std::int64_t>(size));
        EXPECT_EQ(burner.Root->FirstEntry->JolietSize, static_cast<std::int64_t>(size));
    }
    // Imported entries take no room in the new session.
    burner.ClearCompilation(10, 10);
    ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("old.bin", 5000), false, 1234, ""));
    EXPECT_EQ(burner.CompilationSize, 0);
    EXPECT_TRUE(burner.Root->FirstEntry->Imported);
    EXPECT_EQ(burner.Root->FirstEntry->Extent, 1234u);
    EXPECT_EQ(burner.Root->FirstEntry->JolietExtent, 1234u);
}

TEST_F(Burner, FilesOfFourGigabytesAreRefusedNotTruncated) {
    EXPECT_FALSE(burner.AddFileEntry(burner.Root, File("huge.iso", 4294967296u), false, 0, "/huge.iso"));
    EXPECT_EQ(burner.FileCount(), 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{"FILE TOO LARGE FOR ISO 9660 (4 GB OR MORE): /huge.iso", 3}}));
}

TEST_F(Burner, ASecondFileOfTheSameNameIsRefusedOrReplaces) {
    for (const bool replace : {false, true}) {
        SCOPED_TRACE(replace);
        burner.ClearCompilation(10, 10);
        burner.ReplaceFile = replace;
        ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("a.txt", 100), false, 0, "/one/a.txt"));
        ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("b.txt", 1), false, 0, "/one/b.txt"));
        EXPECT_EQ(burner.AddFileEntry(burner.Root, File("a.txt", 5000), false, 0, "/two/a.txt"), replace);
        EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"a.txt", "b.txt"})); // place kept
        EXPECT_EQ(burner.FileCount(), 2);
        const TFEntry* a = burner.Root->FirstEntry;
        EXPECT_EQ(a->ISOSize, replace ? 5000 : 100);
        EXPECT_EQ(a->SourcePath, replace ? "/two/a.txt" : "/one/a.txt");
        EXPECT_EQ(burner.CompilationSize, replace ? 3 * 2048 + 2048 : 2048 + 2048);
    }
}

TEST_F(Burner, CaseTwinsFromLinuxFoldersAreBothKept) {
    ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("README.TXT"), false, 0, "/s/README.TXT"));
    ASSERT_TRUE(
        burner.AddFileEntry(burner.Root, File("readme.txt", 0, "README~1.TXT"), false, 0, "/s/readme.txt"));
    ASSERT_TRUE(burner.AddDirectoryEntry(burner.Root, Folder("Docs")));
    ASSERT_TRUE(burner.AddDirectoryEntry(burner.Root, Folder("docs", "DOCS~1")));
    EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"README.TXT", "readme.txt", "Docs", "docs"}));
    EXPECT_EQ(burner.DirectoryCount(), 2);
    // The same name again merges into the same directory.
    EXPECT_EQ(burner.AddDirectoryEntry(burner.Root, Folder("docs")), burner.Directories()[2].get());
    EXPECT_EQ(burner.DirectoryCount(), 2);
    // FindEntry compares upper-cased and gives the first; it remembers the entry before.
    EXPECT_EQ(burner.FindEntry(burner.Root, "readme.TXT"), burner.Root->FirstEntry);
    EXPECT_EQ(burner.PreviousEntry, nullptr);
    burner.ReplaceFile = true;
    ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("b.dat"), false, 0, "/s/b.dat"));
    EXPECT_EQ(burner.FindEntry(burner.Root, "B.DAT"), TOrbelBurner::LastEntry(burner.Root->FirstEntry));
    EXPECT_EQ(burner.PreviousEntry->LongName, "docs");
    // Directory entries keep their dotless names, so FindEntry never finds them.
    EXPECT_EQ(burner.FindEntry(burner.Root, "docs"), nullptr);
}

TEST_F(Burner, AFileNeverReplacesADirectoryEntry) {
    burner.ReplaceFile = true;
    ASSERT_TRUE(burner.AddDirectoryEntry(burner.Root, Folder("pack.d")));
    EXPECT_FALSE(burner.AddFileEntry(burner.Root, File("pack.d", 10), false, 0, "/pack.d"));
    ASSERT_NE(burner.Root->FirstEntry->Dir, nullptr);
    EXPECT_EQ(burner.FileCount(), 1);
}

TEST_F(Burner, AFolderAddedTwiceMergesEvenBesideAFileOfItsName) {
    // A file named like a dotted folder comes first in the list; the folder must still merge.
    ASSERT_TRUE(burner.AddFileEntry(burner.Root, File("pack.d", 10), false, 0, "/a/pack.d"));
    TDEntry* first = burner.AddDirectoryEntry(burner.Root, Folder("pack.d"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(burner.AddDirectoryEntry(burner.Root, Folder("pack.d")), first);
    EXPECT_EQ(burner.DirectoryCount(), 1);
    EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"pack.d", "pack.d"}));
}

// Every lookup must give what walking the list from its first entry gives: the first entry whose
// upper-cased long name matches, and the one before it. Random adds and replaces of a small pool of
// names (case twins, dotless names, dotted folder names) crowd the name index and move entries in it.
TEST_F(Burner, LookupsAgreeWithWalkingTheList) {
    std::vector<std::string> pool = {"a.txt", "A.TXT", "a.Txt", "b", "B", "pack.d", "Pack.D", "x.", "X."};
    for (int i = 0; i < 60; ++i) pool.push_back("n" + std::to_string(i) + (i % 2 ? ".dat" : ""));
    const auto walk = [](const TDEntry* dir, const std::string& name) -> std::pair<TFEntry*, TFEntry*> {
        std::string key = name.find('.') == std::string::npos ? name + "." : name;
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        TFEntry* before = nullptr;
        for (TFEntry* entry = dir->FirstEntry; entry; before = entry, entry = entry->Next) {
            std::string upper = entry->LongName;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper == key) return {entry, before};
        }
        return {nullptr, nullptr};
    };
    burner.ClearCompilation(100000, 1000);
    std::vector<TDEntry*> dirs = {burner.Root};
    std::uint32_t state = 12345;
    const auto next = [&state](std::uint32_t below) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % below;
    };
    for (int step = 0; step < 3000; ++step) {
        TDEntry* dir = dirs[next(static_cast<std::uint32_t>(dirs.size()))];
        const std::string& name = pool[next(static_cast<std::uint32_t>(pool.size()))];
        burner.ReplaceFile = next(2) == 0;
        if (next(8) == 0) {
            if (TDEntry* made = burner.AddDirectoryEntry(dir, Folder(name)); made && dirs.size() < 20)
                dirs.push_back(made);
        } else {
            burner.AddFileEntry(dir, File(name, next(5000)), false, 0, "/s/" + name);
        }
        if (step % 50 != 0) continue;
        for (const TDEntry* checked : dirs) {
            for (const std::string& asked : pool) {
                SCOPED_TRACE(::testing::Message()
                             << "step " << step << ", " << checked->Path << " " << asked);
                const auto [entry, before] = walk(checked, asked);
                EXPECT_EQ(burner.FindEntry(const_cast<TDEntry*>(checked), asked), entry);
                EXPECT_EQ(burner.PreviousEntry, before);
            }
        }
    }
    // No directory ends up with two files of the very same long name.
    for (const TDEntry* dir : dirs) {
        std::vector<std::string> files;
        for (const TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next)
            if (!entry->Dir) files.push_back(entry->LongName);
        std::sort(files.begin(), files.end());
        EXPECT_EQ(std::adjacent_find(files.begin(), files.end()), files.end()) << dir->Path;
    }
}

TEST_F(Burner, LongNamesAreSkippedUnlessTheHandlerSaysOtherwise) {
    const std::string name128(128, 'n');
    const std::string name109 = std::string(105, 'j') + ".txt";
    constexpr struct {
        bool joliet;
        bool resetSkip;
        bool added128;
        bool added109;
    } kCases[] = {{false, false, false, true},
                  {false, true, true, true},
                  {true, false, false, false},
                  {true, true, false, false}};
    for (const auto& [joliet, resetSkip, added128, added109] : kCases) {
        SCOPED_TRACE(::testing::Message() << "joliet " << joliet << " reset " << resetSkip);
        burner.ClearCompilation(10, 10);
        log.clear();
        burner.JolietFileSystem = joliet;
        std::vector<bool> offered;
        burner.OnAddFile = [&, reset = resetSkip](TOrbelBurner*, const std::string&, std::string&,
                                                  std::string&, double&, std::uint32_t, std::int64_t,
                                                  bool& skip) {
            offered.push_back(skip);
            if (reset) skip = false;
        };
        EXPECT_EQ(burner.AddFileEntry(burner.Root, File(name128), false, 0, "/l/" + name128), added128);
        EXPECT_EQ(burner.AddFileEntry(burner.Root, File(name109), false, 0, "/l/" + name109), added109);
        EXPECT_EQ(offered, (std::vector<bool>{true, joliet}));
        // A name the Joliet tree cannot hold is refused with a line, even when the handler insists.
        const std::size_t refusals = joliet && resetSkip ? 2 : 0;
        EXPECT_EQ(log.size(), refusals);
        for (const LogLine& line : log) EXPECT_EQ(line.text.rfind("NAME TOO LONG FOR JOLIET: /l/", 0), 0u);
    }
}

TEST_F(Burner, TheAddFileHandlerRenamesRedatesAndSkips) {
    burner.OnAddFile = [](TOrbelBurner*, const std::string& fullPath, std::string& longName,
                          std::string& shortName, double& dateTime, std::uint32_t attributes,
                          std::int64_t size, bool& skip) {
        EXPECT_EQ(attributes, attr::kArchive);
        if (fullPath == "/s/skip.me") skip = true;
        if (fullPath == "/s/rename.me") {
            EXPECT_EQ(size, 77);
            longName = "renamed.txt";
            shortName = "renamed.txt";
            dateTime = 12345.5;
        }
        if (fullPath == "/s/clash.me") longName = "renamed.txt";
    };
    EXPECT_FALSE(burner.AddFileEntry(burner.Root, File("skip.me"), false, 0, "/s/skip.me"));
    EXPECT_TRUE(burner.AddFileEntry(burner.Root, File("rename.me", 77), true, 0, "/s/rename.me"));
    // A new name that another entry already has is refused.
    EXPECT_FALSE(burner.AddFileEntry(burner.Root, File("clash.me"), false, 0, "/s/clash.me"));
    ASSERT_EQ(burner.FileCount(), 1);
    const TFEntry* entry = burner.Root->FirstEntry;
    EXPECT_EQ(entry->LongName, "renamed.txt");
    EXPECT_EQ(entry->ShortName, "RENAMED.TXT");
    EXPECT_EQ(entry->DateTime, 12345.5);
    EXPECT_TRUE(entry->ArchiveMode);
    EXPECT_EQ(burner.FindEntry(burner.Root, "RENAMED.TXT"), entry);
}

TEST_F(Burner, AddFileKeepsTheSourcePathOrItsLastFolder) {
    TempTree tree;
    const std::string source = tree.File("Data/Photos/a.jpg", 10);
    const std::string sourceFolder = tree.Path("Data/Photos");
    std::string expected;
    for (std::size_t at = 1; at <= sourceFolder.size(); ++at)
        expected += sourceFolder[at - 1] == '/' ? '\\' : sourceFolder[at - 1];
    for (const bool lastOnly : {false, true}) {
        SCOPED_TRACE(lastOnly);
        burner.ClearCompilation(100, 100);
        burner.LastFolderOnly = lastOnly;
        EXPECT_EQ(burner.AddFile("", source, true), 1);
        const std::string path = lastOnly ? "\\PHOTOS" : UpperCase(expected);
        const TDEntry* target = burner.FindDirectory(path);
        ASSERT_NE(target, nullptr) << path;
        EXPECT_EQ(LongNames(target), std::vector<std::string>{"a.jpg"});
        EXPECT_EQ(target->FirstEntry->SourcePath, source);
        EXPECT_EQ(Paths().back(), path);
        if (lastOnly) {
            EXPECT_EQ(burner.DirectoryCount(), 1);
        }
    }
}

TEST_F(Burner, AddFileReportsMissingSourcesAndDestinations) {
    TempTree tree;
    const std::string source = tree.File("a.txt", 1);
    EXPECT_EQ(burner.AddFile("\\nowhere", source, false), 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{"INVALID DESTINATION PATH", 4}}));
    EXPECT_EQ(burner.AddFile("\\", tree.Path("missing.txt"), false), -1);
    EXPECT_EQ(burner.AddFile("", source, false), 1);
    EXPECT_EQ(burner.AddFile("", source, false), 1); // found, though refused as a duplicate
    EXPECT_EQ(burner.FileCount(), 1);
    EXPECT_EQ(log.size(), 1u);
    // A folder is found but never becomes a file entry.
    const std::string folder = tree.Folder("folder");
    EXPECT_EQ(burner.AddFile("", folder, false), 1);
    EXPECT_EQ(log.back(), (LogLine{"NOT A FILE: " + folder, 4}));
    EXPECT_EQ(burner.FileCount(), 1);
}

TEST_F(Burner, RecursiveAddFollowsTheFolderHandlerAndPrunesEmptyFolders) {
    TempTree tree;
    tree.File("src/a.txt", 1);
    tree.File("src/Sub/b.txt", 2);
    tree.File("src/Sub/Inner/c.txt", 3);
    tree.Folder("src/Empty/Deeper");
    tree.File("src/Skipped/d.txt");
    tree.File("src/Renamed/e.txt");
    tree.File("src/Installer/f.txt");
    int beeps = 0;
    burner.DefaultBeep = [&] { ++beeps; };
    std::vector<std::string> offered;
    burner.OnAddDir = [&](TOrbelBurner*, std::string& longName, std::string& shortName, bool& skip) {
        offered.push_back(longName + "|" + shortName);
        if (longName == "Skipped") skip = true;
        if (longName == "Renamed") longName = "New Name", shortName = "NEWNAME";
    };
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("src"), "", 0x27, true, false, false), 1);
    EXPECT_EQ(offered,
              (std::vector<std::string>{"Empty|EMPTY", "Deeper|DEEPER", "Installer|INSTAL~1",
                                        "Renamed|RENAMED", "Skipped|SKIPPED", "Sub|SUB", "Inner|INNER"}));
    EXPECT_EQ(Paths(),
              (std::vector<std::string>{"\\", "\\INSTALLER", "\\NEW NAME", "\\SUB", "\\SUB\\INNER"}));
    EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"Installer", "New Name", "Sub", "a.txt"}));
    EXPECT_EQ(LongNames(burner.FindDirectory("\\SUB")), (std::vector<std::string>{"Inner", "b.txt"}));
    EXPECT_EQ(burner.FindDirectory("\\NEW NAME")->ShortName, "NEWNAME");
    EXPECT_EQ(burner.FindDirectory("\\SUB\\INNER")->FirstEntry->SourcePath, tree.Path("src/Sub/Inner/c.txt"));
    EXPECT_EQ(burner.FindDirectory("\\SUB\\INNER")->Level, 3);
    EXPECT_EQ(burner.DirectoryCount(), 4);
    EXPECT_EQ(burner.FileCount(), 9);
    EXPECT_EQ(burner.ISOOrder.size(), 5u);
    EXPECT_EQ(burner.CompilationSize, 3 * 2048); // the empty files take no sector
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(log.empty());
}

TEST_F(Burner, OneFolderWithOneFileCountsOneDirectoryAndTwoEntries) {
    TempTree tree;
    tree.File("top/Folder/only.txt");
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("top"), "*.*", 0x21, true, false, false), 1);
    EXPECT_EQ(burner.DirectoryCount(), 1);
    EXPECT_EQ(burner.FileCount(), 2);
}

TEST_F(Burner, MasksAttributesAndArchiveOnlyChooseTheFiles) {
    TempTree tree;
    tree.File("in/x.txt");
    tree.File("in/y.doc");
    tree.File("in/.hid.txt");
    tree.File("in/ro.txt");
    tree.File("in/sub/deep.txt");
    ASSERT_EQ(chmod(tree.Path("in/ro.txt").c_str(), 0444), 0);
    const bool xattrs = SetArchiveBit(tree.File("in/noarch.txt"), false);
    constexpr struct {
        const char* mask;
        std::uint32_t attributes;
        bool archiveOnly;
        const char* names;
    } kCases[] = {
        {"*.txt", 0x21, false, "noarch.txt ro.txt x.txt"},
        {"*.txt", 0x23, false, ".hid.txt noarch.txt ro.txt x.txt"},
        {"", 0x21, false, "noarch.txt ro.txt x.txt y.doc"},
        {"*.*", 0x23, true, ".hid.txt ro.txt x.txt y.doc"},
    };
    for (const auto& [mask, attributes, archiveOnly, names] : kCases) {
        SCOPED_TRACE(::testing::Message() << mask << ' ' << attributes << ' ' << archiveOnly);
        if (archiveOnly && !xattrs) continue; // without the attribute every file counts as changed
        burner.ClearCompilation(100, 100);
        EXPECT_EQ(
            burner.AddDirectory(burner.Root, tree.Path("in"), mask, attributes, false, false, archiveOnly),
            1);
        std::string got;
        for (const TFEntry* entry = burner.Root->FirstEntry; entry; entry = entry->Next) {
            got += (got.empty() ? "" : " ") + entry->LongName;
            EXPECT_EQ(entry->ArchiveMode, archiveOnly);
        }
        EXPECT_EQ(got, names);
        EXPECT_EQ(burner.DirectoryCount(), 0); // not recursive
    }
    burner.ClearCompilation(100, 100);
    burner.AddDirectory(burner.Root, tree.Path("in"), "", 0x23, false, false, false);
    EXPECT_EQ(burner.FindEntry(burner.Root, "ro.txt")->Attributes, attr::kReadOnly | attr::kArchive);
    EXPECT_EQ(burner.FindEntry(burner.Root, ".hid.txt")->Attributes, attr::kHidden | attr::kArchive);
}

TEST_F(Burner, AwkwardNamesGetSafeLongNamesAndUniqueShortNames) {
    TempTree tree;
    const std::string hundred = std::string(96, 'n') + ".txt";
    const struct {
        std::string name;
        std::string longName;
        std::string shortName;
    } kCases[] = {
        // In byte order, as the folder is listed.
        {"back\\slash.txt", "back_slash.txt", "BACK_S~1.TXT"},
        {"caf\xC3\xA9.txt", "caf\xC3\xA9.txt", "CAF_~1.TXT"},
        {"ctl\x01.txt", "ctl_.txt", "CTL_~1.TXT"},
        {hundred, hundred, "NNNNNN~1.TXT"},
        {"noext", "noext.", "NOEXT."},
        {"several.dots.in.name.txt", "several.dots.in.name.txt", "SEVERA~1.TXT"},
        {"with space.txt", "with space.txt", "WITHSP~1.TXT"},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", "___~1.TXT"},
        {"\xF0\x9F\x98\x80.png", "\xF0\x9F\x98\x80.png", "_~1.PNG"},
    };
    for (const auto& item : kCases) tree.File("odd/" + item.name, 1);
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("odd"), "", 0x21, false, false, false), 1);
    const TFEntry* entry = burner.Root->FirstEntry;
    for (const auto& item : kCases) {
        SCOPED_TRACE(item.name);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->LongName, item.longName);
        EXPECT_EQ(entry->ShortName, item.shortName);
        EXPECT_EQ(entry->SourcePath, tree.Path("odd/" + item.name)); // the real name, for reading
        entry = entry->Next;
    }
    EXPECT_EQ(entry, nullptr);
}

TEST_F(Burner, CaseTwinFoldersAndFilesAreAllRecorded) {
    TempTree tree;
    tree.File("twins/Docs/one.txt");
    tree.File("twins/docs/two.txt");
    tree.File("twins/README.TXT");
    tree.File("twins/readme.txt");
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("twins"), "", 0x21, true, false, false), 1);
    std::vector<std::string> shortNames;
    for (const TFEntry* entry = burner.Root->FirstEntry; entry; entry = entry->Next)
        shortNames.push_back(entry->LongName + "=" + entry->ShortName);
    EXPECT_EQ(shortNames, (std::vector<std::string>{"Docs=DOCS", "docs=DOCS~1", "README.TXT=README.TXT",
                                                    "readme.txt=README~1.TXT"}));
    EXPECT_EQ(burner.DirectoryCount(), 2);
}

TEST_F(Burner, KeptSourcePathsGoBelowTheTargetDirectory) {
    TempTree tree;
    tree.File("Data/Photos/p.jpg");
    TDEntry* out = burner.CreateDirectory(burner.Root, "Out", attr::kDirectory);
    std::string kept;
    for (char c : tree.Path("Data/Photos")) kept += c == '/' ? '\\' : c;
    for (const bool lastOnly : {false, true}) {
        SCOPED_TRACE(lastOnly);
        burner.LastFolderOnly = lastOnly;
        EXPECT_EQ(burner.AddDirectory(out, tree.Path("Data/Photos"), "", 0x21, true, true, false), 1);
        const std::string path = lastOnly ? "\\OUT\\PHOTOS" : UpperCase("\\OUT" + kept);
        const TDEntry* target = burner.FindDirectory(path);
        ASSERT_NE(target, nullptr) << path;
        EXPECT_EQ(LongNames(target), std::vector<std::string>{"p.jpg"});
    }
}

// A kept folder whose name holds a character Joliet cannot hold is made under the tree's name for it
// ("_" in that place) and found again, whether a folder or a single file is added.
TEST_F(Burner, KeptFoldersNamedWithCharactersJolietCannotHoldAreFound) {
    const struct {
        const char* name;
        const char* treeName;
    } kFolders[] = {{"What?", "What_"},
                    {"a*b", "a_b"},
                    {"x:y", "x_y"},
                    {"semi;colon", "semi_colon"},
                    {"back\\slash", "back_slash"}};
    for (const auto& folder : kFolders) {
        TempTree tree;
        const std::string file = tree.File(std::string(folder.name) + "/f.txt", 3);
        for (const bool lastOnly : {true, false}) {
            for (const bool wholeFolder : {true, false}) {
                SCOPED_TRACE(::testing::Message()
                             << folder.name << " last " << lastOnly << " folder " << wholeFolder);
                burner.ClearCompilation(100, 100);
                burner.LastFolderOnly = lastOnly;
                if (wholeFolder) {
                    EXPECT_EQ(
                        burner.AddDirectory(burner.Root, tree.Path(folder.name), "", 0x21, true, true, false),
                        1);
                } else {
                    EXPECT_EQ(burner.AddFile("", file, true), 1);
                }
                EXPECT_EQ(burner.FileCount(), lastOnly ? 2 : burner.DirectoryCount() + 1);
                const TDEntry* last = burner.Directories().back().get();
                EXPECT_EQ(last->LongName, folder.treeName);
                EXPECT_EQ(last->ShortName, UpperCase(folder.treeName));
                EXPECT_EQ(LongNames(last), std::vector<std::string>{"f.txt"});
            }
        }
    }
}

TEST_F(Burner, FolderProblemsAreLoggedAndOnlyTheFolderAskedForFails) {
    TempTree tree;
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("missing"), "", 0x21, true, false, false), 0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              (LogLine{"CANNOT READ FOLDER: " + tree.Path("missing") + "/ (No such file or directory)", 4}));
    EXPECT_EQ(burner.AddDirectory(nullptr, tree.Path(), "", 0x21, true, false, false), 0);
    EXPECT_EQ(log.back(), (LogLine{"INVALID DESTINATION PATH", 4}));
    const testing::PermissionsApply permissions;
    if (!permissions.Active()) GTEST_SKIP() << "root's permission overrides cannot be dropped here";
    log.clear();
    tree.File("top/Locked/secret.txt");
    tree.File("top/Open/fine.txt");
    tree.File("top/z.txt");
    ASSERT_EQ(chmod(tree.Path("top/Locked").c_str(), 0), 0);
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("top"), "", 0x21, true, false, false), 1);
    EXPECT_EQ(log, (std::vector<LogLine>{
                       {"CANNOT READ FOLDER: " + tree.Path("top/Locked") + "/ (Permission denied)", 4}}));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\OPEN"}));
    EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"Open", "z.txt"}));
}

TEST_F(Burner, ADirectoryThatCannotBeCreatedStopsTheAdd) {
    TempTree tree;
    tree.File("full/A/x.txt");
    tree.File("full/B/y.txt");
    tree.File("full/z.txt");
    burner.ClearCompilation(100, 2);
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("full"), "", 0x21, true, false, false), 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{">>> MAXIMUM DIRECTORIES CAN BE 2", 3}}));
    EXPECT_EQ(LongNames(burner.Root), std::vector<std::string>{"A"}); // z.txt is not added
    EXPECT_EQ(LongNames(burner.FindDirectory("\\A")), std::vector<std::string>{"x.txt"});
}

TEST_F(Burner, ARefusedFileDoesNotStopTheAdd) {
    TempTree tree;
    tree.File("dup/Sub/a.txt");
    tree.File("dup/Sub/b.txt");
    tree.File("dup/c.txt");
    ASSERT_EQ(burner.AddDirectory(burner.Root, tree.Path("dup"), "", 0x21, true, false, false), 1);
    // The same folder again: every file is refused as a duplicate, the folders merge.
    EXPECT_EQ(burner.AddDirectory(burner.Root, tree.Path("dup"), "", 0x21, true, false, false), 1);
    EXPECT_EQ(burner.DirectoryCount(), 1);
    EXPECT_EQ(burner.FileCount(), 4);
    EXPECT_EQ(LongNames(burner.Root), (std::vector<std::string>{"Sub", "c.txt"}));
}

TEST_F(Burner, ManyFilesInManyFoldersStayConsistent) {
    burner.ClearCompilation(600000, 20000);
    constexpr int kFolders = 2000, kFilesPerFolder = 50;
    for (int folder = 0; folder < kFolders; ++folder) {
        TDEntry* dir = burner.AddDirectoryEntry(burner.Root, Folder("folder" + std::to_string(folder)));
        ASSERT_NE(dir, nullptr);
        for (int file = 0; file < kFilesPerFolder; ++file)
            ASSERT_TRUE(
                burner.AddFileEntry(dir, File("file" + std::to_string(file) + ".dat", 1), false, 0, "/x"));
    }
    EXPECT_EQ(burner.DirectoryCount(), kFolders);
    EXPECT_EQ(burner.FileCount(), kFolders * (kFilesPerFolder + 1));
    const TDEntry* last = burner.FindDirectory("\\FOLDER1999");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(TOrbelBurner::LastEntry(last->FirstEntry)->LongName, "file49.dat");
    EXPECT_EQ(burner.Files().back()->LongName, "file49.dat");
    EXPECT_EQ(burner.CompilationSize, std::int64_t{kFolders} * kFilesPerFolder * 2048);
}

TEST_F(Burner, TheTimeZoneOffsetIsTheOneInEffectInQuarterHours) {
    const char* saved = std::getenv("TZ");
    const std::string savedZone = saved ? saved : "";
    // Zones without daylight time, so that the answer does not depend on today's date.
    constexpr std::pair<const char*, int> kZones[] = {{"UTC0", 0},      {"CET-1", 4},     {"EST5", -20},
                                                      {"IST-5:30", 22}, {"NPT-5:45", 23}, {"NST3:30", -14}};
    for (const auto& [zone, offset] : kZones) {
        SCOPED_TRACE(zone);
        setenv("TZ", zone, 1);
        tzset();
        burner.ClearCompilation(10, 10);
        EXPECT_EQ(burner.GMTOffset, offset);
    }
    if (saved)
        setenv("TZ", savedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
} // namespace lorvane::image
