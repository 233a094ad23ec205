#include "image/enumeration.h"

#include "image/iso_lib.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace lorvane::image {
namespace {

using testing::RunningAsRoot;
using testing::TempTree;

TEST(ShortNameRules, ValidEightDotThreeNames) {
    constexpr struct {
        const char* name;
        bool valid;
    } kCases[] = {
        {"README.TXT", true},   {"readme.txt", true},   {"NOEXT", true},    {"A", true},
        {"ABCDEFGH.IJK", true}, {"ABCDEFGHI", false},   {"A.ABCD", false},  {"A.B.C", false},
        {"has space", false},   {"a+b.txt", false},     {".hidden", false}, {"trailing.", false},
        {"~$()-@^.{}!", true},  {"caf\xC3\xA9", false}, {"", false},        {"..", false},
    };
    for (const auto& [name, valid] : kCases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(IsValidShortName(name), valid);
    }
}

TEST(ShortNameRules, AliasesAreMadeTheWayWindowsMakesThem) {
    constexpr struct {
        const char* name;
        const char* alias;
    } kCases[] = {
        {"Long File Name.txt", "LONGFI~1.TXT"},
        {"archive.tar.gz", "ARCHIV~1.GZ"},
        {"a.b.c.d", "ABC~1.D"},
        {".bashrc", "BASHRC~1"},
        {"caf\xC3\xA9.txt", "CAF_~1.TXT"},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.doc", "___~1.DOC"},
        {"a+b.txt", "A_B~1.TXT"},
        {"x.html", "X~1.HTM"},
        {"back\\slash", "BACK_S~1"},
        {"ctl\x01.txt", "CTL_~1.TXT"},
        {"NOEXT", ""},
        {"notes", ""},
    };
    for (const auto& [name, alias] : kCases) {
        SCOPED_TRACE(name);
        const std::string names[] = {name};
        EXPECT_EQ(MakeAliases(names).front(), alias);
    }
}

TEST(ShortNameRules, AliasNumbersStayUniqueInTheFolder) {
    // Case twins: the first keeps its 8.3 name, the second gets an alias.
    const std::string twins[] = {"README.TXT", "readme.txt"};
    EXPECT_EQ(MakeAliases(twins), (std::vector<std::string>{"", "README~1.TXT"}));

    // A real name that looks like an alias keeps its name; the alias moves on to the next number.
    const std::string lookAlike[] = {"LONGNA~1.TXT", "longname1.txt"};
    EXPECT_EQ(MakeAliases(lookAlike), (std::vector<std::string>{"", "LONGNA~2.TXT"}));

    // From ten on, the number takes a character of the base.
    std::vector<std::string> photos;
    for (int i = 0; i < 11; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "photograph_%02d.jpeg", i);
        photos.emplace_back(name);
    }
    const auto aliases = MakeAliases(photos);
    EXPECT_EQ(aliases[0], "PHOTOG~1.JPE");
    EXPECT_EQ(aliases[8], "PHOTOG~9.JPE");
    EXPECT_EQ(aliases[9], "PHOTO~10.JPE");
    EXPECT_EQ(aliases[10], "PHOTO~11.JPE");

    // Every short name of a folder full of case twins is different.
    const std::string mixed[] = {"ABC", "Abc", "aBc", "abc", "abc.txt", "ABC.TXT", "abc~1", "ABC~1"};
    std::set<std::string> shortNames;
    const auto mixedAliases = MakeAliases(mixed);
    for (std::size_t i = 0; i < std::size(mixed); ++i)
        shortNames.insert(mixedAliases[i].empty() ? UpperCase(mixed[i]) : mixedAliases[i]);
    EXPECT_EQ(shortNames.size(), std::size(mixed));
}

TEST(Masks, WildcardsMatchCaseSensitively) {
    constexpr struct {
        const char* name;
        const char* mask;
        bool matches;
    } kCases[] = {
        {"a.jpg", "*.jpg", true}, {"a.JPG", "*.jpg", false}, {"noext", "*.*", true},   {"noext", "", true},
        {"abc", "a?c", true},     {"abc", "a*", true},       {"abc", "*d", false},     {"a.b.c", "*.c", true},
        {"abc", "abc", true},     {"abcd", "abc", false},    {"aXbXc", "a*b*c", true}, {"ab", "a*b*c", false},
    };
    for (const auto& [name, mask, matches] : kCases) {
        SCOPED_TRACE(std::string(name) + " / " + mask);
        EXPECT_EQ(MatchesMask(name, mask), matches);
    }
}

TEST(Masks, AttributeFilterExcludesOnlyHiddenSystemVolumeAndFolders) {
    constexpr struct {
        std::uint32_t attributes;
        std::uint32_t mask;
        bool passes;
    } kCases[] = {
        {0x20, 0x00, true},  {0x01, 0x00, true}, {0x02, 0x00, false}, {0x02, 0x02, true},
        {0x10, 0x00, false}, {0x10, 0x10, true}, {0x12, 0x10, false}, {0x12, 0x3F, true},
        {0x04, 0x3B, false}, {0x21, 0x01, true},
    };
    for (const auto& [attributes, mask, passes] : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << attributes << " / " << mask);
        EXPECT_EQ(PassesAttributeFilter(attributes, mask), passes);
    }
}

class LocalZone : public ::testing::Test {
protected:
    void Use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (m_saved)
            setenv("TZ", m_saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_saved = [] {
        const char* value = std::getenv("TZ");
        return value ? std::optional<std::string>(value) : std::nullopt;
    }();
};

TEST_F(LocalZone, DatesCountDaysSince1899InLocalTime) {
    constexpr struct {
        const char* zone;
        std::int64_t seconds;
        long nanoseconds;
        double expected;
    } kCases[] = {
        {"UTC0", 0, 0, 25569.0},
        {"UTC0", 86400 + 43200, 0, 25570.5},
        {"UTC0", 0, 500'000'000, 25569.0 + 0.5 / 86400},
        {"CET-1", 0, 0, 25569.0 + 1.0 / 24},
        {"EST5", 0, 0, 25568.0 + 19.0 / 24},
        {"UTC0", 951782400, 0, 36585.0}, // 2000-02-29
    };
    for (const auto& [zone, seconds, nanoseconds, expected] : kCases) {
        SCOPED_TRACE(::testing::Message() << zone << ' ' << seconds);
        Use(zone);
        EXPECT_NEAR(DateTimeFromUnix(seconds, nanoseconds), expected, 1e-9);
    }
}

struct Logged {
    std::vector<std::string> lines;
    ListingLog Sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

TEST(ListFolder, SortsByNameWithAttributesSizesAndAliases) {
    TempTree tree;
    tree.File("b.txt", 3);
    tree.File("a long name.txt", 2049);
    tree.File(".hidden");
    tree.File("readonly.txt");
    tree.Folder("sub");
    ASSERT_EQ(chmod(tree.Path("readonly.txt").c_str(), 0444), 0);
    Logged log;
    const FolderListing listing = ListFolder(tree.Path(), log.Sink());
    ASSERT_EQ(listing.status, ListingStatus::Ok);
    EXPECT_TRUE(log.lines.empty());
    constexpr struct {
        const char* name;
        const char* alias;
        std::uint32_t attributes;
        std::uint64_t size;
    } kExpected[] = {
        {".hidden", "HIDDEN~1", attr::kHidden | attr::kArchive, 0},
        {"a long name.txt", "ALONGN~1.TXT", attr::kArchive, 2049},
        {"b.txt", "", attr::kArchive, 3},
        {"readonly.txt", "", attr::kReadOnly | attr::kArchive, 0},
        {"sub", "", attr::kDirectory, 0},
    };
    ASSERT_EQ(listing.entries.size(), std::size(kExpected));
    for (std::size_t i = 0; i < std::size(kExpected); ++i) {
        SCOPED_TRACE(kExpected[i].name);
        EXPECT_EQ(listing.entries[i].Name, kExpected[i].name);
        EXPECT_EQ(listing.entries[i].AlternateName, kExpected[i].alias);
        EXPECT_EQ(listing.entries[i].Attr, kExpected[i].attributes);
        EXPECT_EQ(listing.entries[i].Size, kExpected[i].size);
        EXPECT_GT(listing.entries[i].Time, 40000.0); // after 2009
    }
}

TEST(ListFolder, SizesBeyondFourGigabytesKeepAllSixtyFourBits) {
    TempTree tree;
    const std::string path = tree.File("big.bin");
    ASSERT_EQ(truncate(path.c_str(), 5'368'709'121), 0); // sparse: 5 GiB + 1
    const auto listing = FindFile(path, attr::kAnyFile, {});
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->Size, 5'368'709'121u);
}

TEST(ListFolder, LinksAndSpecialFilesAreFollowedOrLeftOutWithALine) {
    TempTree tree;
    tree.File("target.txt", 10);
    tree.Folder("folder");
    ASSERT_EQ(symlink("target.txt", tree.Path("file-link").c_str()), 0);
    ASSERT_EQ(symlink("folder", tree.Path("folder-link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", tree.Path("broken-link").c_str()), 0);
    ASSERT_EQ(mkfifo(tree.Path("pipe").c_str(), 0600), 0);
    Logged log;
    const FolderListing listing = ListFolder(tree.Path(), log.Sink());
    std::vector<std::string> names;
    for (const auto& entry : listing.entries) names.push_back(entry.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"file-link", "folder", "target.txt"}));
    EXPECT_EQ(listing.entries[0].Size, 10u); // the link's target
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"SKIPPED BROKEN SYMBOLIC LINK: " + tree.Path("broken-link"),
                                        "SKIPPED SYMBOLIC LINK TO A FOLDER: " + tree.Path("folder-link"),
                                        "SKIPPED SPECIAL FILE: " + tree.Path("pipe")}));
}

TEST(ListFolder, AVanishedFileIsLeftOutWithALine) {
    TempTree tree;
    tree.File("stays.txt");
    const std::string gone = tree.File("gone.txt");
    Logged log;
    const FolderListing listing = ListFolder(tree.Path(), log.Sink(), [&] { std::remove(gone.c_str()); });
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].Name, "stays.txt");
    EXPECT_EQ(log.lines, (std::vector<std::string>{"FILE VANISHED: " + gone}));
}

TEST(ListFolder, MissingAndUnreadableFoldersSayWhy) {
    TempTree tree;
    const FolderListing missing = ListFolder(tree.Path("none"), {});
    EXPECT_EQ(missing.status, ListingStatus::NotFound);
    EXPECT_FALSE(missing.error.empty());
    const testing::PermissionsApply permissions;
    if (!permissions.Active()) GTEST_SKIP() << "root's permission overrides cannot be dropped here";
    const std::string locked = tree.Folder("locked");
    tree.File("locked/inside.txt");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    const FolderListing unreadable = ListFolder(locked, {});
    EXPECT_EQ(unreadable.status, ListingStatus::Unreadable);
    EXPECT_EQ(unreadable.error, "Permission denied");
    // Names readable but not searchable: each name is left out with a line, never silently.
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    Logged log;
    const FolderListing unsearchable = ListFolder(locked, log.Sink());
    EXPECT_TRUE(unsearchable.entries.empty());
    EXPECT_EQ(log.lines, (std::vector<std::string>{"CANNOT READ FILE INFORMATION: " + locked +
                                                   "/inside.txt (Permission denied)"}));
}

TEST(ListFolder, ArchiveBitComesFromTheDosAttribute) {
    TempTree tree;
    const std::string path = tree.File("a.txt");
    EXPECT_TRUE(ArchiveBit(path)); // none recorded: set
    if (!SetArchiveBit(path, false)) GTEST_SKIP() << "this file system refuses user extended attributes";
    EXPECT_FALSE(ArchiveBit(path));
    EXPECT_EQ(FindFile(path, attr::kAnyFile, {})->Attr & attr::kArchive, 0u);
    ASSERT_TRUE(SetArchiveBit(path, true));
    EXPECT_TRUE(ArchiveBit(path));

    constexpr struct {
        const char* value;
        bool archive;
    } kValues[] = {{"0x20", true}, {"0x1", false}, {"0x21", true}, {"0X0", false}, {"garbage", true}};
    for (const auto& [value, archive] : kValues) {
        SCOPED_TRACE(value);
        ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", value, std::strlen(value), 0), 0);
        EXPECT_EQ(ArchiveBit(path), archive);
    }
    // Samba's form: the text, a NUL, then its binary record.
    const char samba[] = "0x1\0\0\4\0\4\0\0\0\x51\0\0\0\x20\0\0\0";
    ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", samba, sizeof samba - 1, 0), 0);
    EXPECT_FALSE(ArchiveBit(path));
    // Clearing keeps the other bits Samba or Wine recorded.
    ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", "0x23", 4, 0), 0);
    ASSERT_TRUE(SetArchiveBit(path, false));
    char text[16] = {};
    ASSERT_GT(getxattr(path.c_str(), "user.DOSATTRIB", text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "0x3");
}

TEST(FindFile, GivesTheAliasOfTheFolderListingAndNoticesChanges) {
    TempTree tree;
    tree.File("README.TXT");
    const std::string twin = tree.File("readme.txt");
    constexpr struct {
        const char* name;
        const char* alias;
    } kCases[] = {{"readme.txt", "README~1.TXT"}, {"README.TXT", ""}, {"readme.txt", "README~1.TXT"}};
    for (const auto& [name, alias] : kCases) {
        SCOPED_TRACE(name);
        const auto listing = FindFile(tree.Path(name), attr::kAnyFile, {});
        ASSERT_TRUE(listing);
        EXPECT_EQ(listing->AlternateName, alias);
    }
    // Once its twin is gone, the name is its own 8.3 name again.
    ASSERT_EQ(std::remove(tree.Path("README.TXT").c_str()), 0);
    EXPECT_EQ(FindFile(twin, attr::kAnyFile, {})->AlternateName, "");
    EXPECT_FALSE(FindFile(tree.Path("README.TXT"), attr::kAnyFile, {}));
    // The attribute mask applies to the file asked for.
    tree.File(".hidden");
    EXPECT_FALSE(FindFile(tree.Path(".hidden"), attr::kArchive, {}));
    EXPECT_TRUE(FindFile(tree.Path(".hidden"), attr::kArchive | attr::kHidden, {}));
}

} // namespace
} // namespace lorvane::image
