// Cost of building the compilation tree and preparing the image from synthetic folder listings, with
// no file system involved: the tree of the desktop program's largest compilation (600,000 entries in
// 20,000 directories), a folder of many files for linear growth, and the peak memory of the large
// build measured in a child process of its own.
//
//   image_tree_bench                       every timing benchmark
//   image_tree_bench --peak-memory         the large build's peak resident memory, in a fresh process

#include <sys/resource.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/orbel_burner.h"

namespace {

using lorvane::image::DirectoryListing;
using lorvane::image::TDEntry;
using lorvane::image::TOrbelBurner;
using lorvane::image::attr::kArchive;
using lorvane::image::attr::kDirectory;

constexpr int kLargeMaxFiles = 600000;
constexpr int kLargeMaxDirectories = 20000;
constexpr int kTopFolders = 100;

// A small deterministic generator, so that every run sees the same names and sizes.
class Sequence {
public:
    std::uint32_t Next() {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(m_state >> 33);
    }

private:
    std::uint64_t m_state = 0x5DEECE66Dull;
};

// The names of one folder as an enumeration gives them: sorted, with 8.3 aliases for the long ones.
std::vector<DirectoryListing> FolderFiles(int folder, int count, Sequence& random) {
    static constexpr const char* kKinds[] = {".jpg", ".txt", ".pdf", ".cpp", ".h", ".docx", ".png", ".json"};
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    char name[96];
    for (int i = 0; i < count; ++i) {
        const char* kind = kKinds[random.Next() % std::size(kKinds)];
        switch (i % 3) {
        case 0: // a valid 8.3 name, lower case
            std::snprintf(name, sizeof name, "f%04d%03d%s", folder % 10000, i % 1000, kind);
            break;
        case 1:
            std::snprintf(name, sizeof name, "IMG_2019%04u_%06d%s", random.Next() % 10000, i, kind);
            break;
        default:
            std::snprintf(name, sizeof name, "Report %d for folder %d (final)%s", i, folder, kind);
            break;
        }
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    const std::vector<std::string> aliases = lorvane::image::MakeAliases(names);
    std::vector<DirectoryListing> listings;
    listings.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::uint64_t size = 512 + random.Next() % (64 * 1024);
        listings.push_back({names[i], aliases[i], kArchive, size, 43000.0 + static_cast<double>(i)});
    }
    return listings;
}

DirectoryListing FolderListing(const char* pattern, int number) {
    char name[64];
    std::snprintf(name, sizeof name, pattern, number);
    const std::vector<std::string> names{name};
    return {name, lorvane::image::MakeAliases(names).front(), kDirectory, 0, 43000.0};
}

// The large compilation: kTopFolders folders in the root, the other directories spread over them one
// level down, the files spread evenly over every directory so that the file table is exactly full.
// Directories are created depth first, as a recursive add creates them.
struct LargeTree {
    struct Folder {
        DirectoryListing listing;
        int parent = -1; // index into folders, -1 for the root
        std::vector<DirectoryListing> files;
    };
    std::vector<Folder> folders; // in creation order
    std::vector<DirectoryListing> rootFiles;

    LargeTree() {
        Sequence random;
        const int subFolders = kLargeMaxDirectories - 1 - kTopFolders;
        const int directories = kLargeMaxDirectories; // the root included
        const int fileEntries = kLargeMaxFiles - (kLargeMaxDirectories - 1);
        const int perFolder = fileEntries / directories;
        int folderNumber = 0;
        for (int top = 0; top < kTopFolders; ++top) {
            const int topIndex = static_cast<int>(folders.size());
            folders.push_back({FolderListing("Project %03d", top), -1, {}});
            const int children = subFolders / kTopFolders + (top < subFolders % kTopFolders ? 1 : 0);
            for (int child = 0; child < children; ++child) {
                folders.push_back({FolderListing("module_%04d", child), topIndex, {}});
                folders.back().files = FolderFiles(++folderNumber, perFolder, random);
            }
            folders[static_cast<std::size_t>(topIndex)].files =
                FolderFiles(++folderNumber, perFolder, random);
        }
        rootFiles = FolderFiles(0, fileEntries - perFolder * (directories - 1), random);
    }

    // Adds everything; returns how many entries were refused (0 when the tables fit exactly).
    int AddTo(TOrbelBurner& burner) const {
        int refused = 0;
        std::vector<TDEntry*> made;
        made.reserve(folders.size());
        for (const Folder& folder : folders) {
            TDEntry* parent = folder.parent < 0 ? burner.Root : made[static_cast<std::size_t>(folder.parent)];
            made.push_back(burner.AddDirectoryEntry(parent, folder.listing));
            if (!made.back()) ++refused;
        }
        // Files after the sub-folders of each folder, as a recursive add puts them.
        for (std::size_t i = folders.size(); i-- > 0;) {
            for (const DirectoryListing& file : folders[i].files)
                if (!burner.AddFileEntry(made[i], file, false, 0, "/src/" + file.Name)) ++refused;
        }
        for (const DirectoryListing& file : rootFiles)
            if (!burner.AddFileEntry(burner.Root, file, false, 0, "/src/" + file.Name)) ++refused;
        return refused;
    }
};

const LargeTree& Large() {
    static const LargeTree tree;
    return tree;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_LargeCompilation(benchmark::State& state) {
    const LargeTree& tree = Large();
    TOrbelBurner burner;
    double addSeconds = 0, prepareSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        burner.ClearCompilation(kLargeMaxFiles, kLargeMaxDirectories);
        if (tree.AddTo(burner) != 0) state.SkipWithError("entries were refused");
        addSeconds += SecondsSince(start);
        const auto prepared = std::chrono::steady_clock::now();
        if (!burner.PrepareImage(true)) state.SkipWithError(burner.ImageError.c_str());
        prepareSeconds += SecondsSince(prepared);
        benchmark::DoNotOptimize(burner.StructureStream.data());
        state.PauseTiming();
        burner.ClearCompilation(1, 1); // frees the tree outside the timed part
        state.ResumeTiming();
    }
    state.counters["add_s"] = benchmark::Counter(addSeconds, benchmark::Counter::kAvgIterations);
    state.counters["prepare_s"] = benchmark::Counter(prepareSeconds, benchmark::Counter::kAvgIterations);
    state.counters["entries"] = kLargeMaxFiles;
}
BENCHMARK(BM_LargeCompilation)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// N files in the root: every add looks its name up among the files already there.
void BM_FilesInOneFolder(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Sequence random;
    const std::vector<DirectoryListing> files = FolderFiles(1, count, random);
    TOrbelBurner burner;
    for (auto _ : state) {
        burner.ClearCompilation(count, 1);
        for (const DirectoryListing& file : files)
            burner.AddFileEntry(burner.Root, file, false, 0, file.Name);
        if (!burner.PrepareImage(true)) state.SkipWithError(burner.ImageError.c_str());
        state.PauseTiming();
        burner.ClearCompilation(1, 1);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.size()));
}
BENCHMARK(BM_FilesInOneFolder)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(300000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// N folders in the root, each holding one file: directory lookups, path-table sorts and extents.
void BM_FoldersInRoot(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    std::vector<DirectoryListing> folders;
    for (int i = 0; i < count; ++i) folders.push_back(FolderListing("Folder %05d", i));
    Sequence random;
    const std::vector<DirectoryListing> file = FolderFiles(1, 1, random);
    TOrbelBurner burner;
    for (auto _ : state) {
        burner.ClearCompilation(2 * count, count + 1);
        for (const DirectoryListing& folder : folders) {
            TDEntry* dir = burner.AddDirectoryEntry(burner.Root, folder);
            burner.AddFileEntry(dir, file.front(), false, 0, file.front().Name);
        }
        if (!burner.PrepareImage(true)) state.SkipWithError(burner.ImageError.c_str());
        state.PauseTiming();
        burner.ClearCompilation(1, 1);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_FoldersInRoot)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Builds the large compilation once and prints this process's peak resident memory. The listings
// are generated one folder at a time, so the figure is the tree's and the structures' memory.
int PeakMemoryChild() {
    TOrbelBurner burner;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    burner.ClearCompilation(kLargeMaxFiles, kLargeMaxDirectories);
    const auto start = std::chrono::steady_clock::now();
    Sequence random;
    const int subFolders = kLargeMaxDirectories - 1 - kTopFolders;
    const int fileEntries = kLargeMaxFiles - (kLargeMaxDirectories - 1);
    const int perFolder = fileEntries / kLargeMaxDirectories;
    int folderNumber = 0, refused = 0;
    const auto addFiles = [&](TDEntry* dir, int count) {
        for (const DirectoryListing& file : FolderFiles(++folderNumber, count, random))
            if (!burner.AddFileEntry(dir, file, false, 0, "/src/" + file.Name)) ++refused;
    };
    for (int top = 0; top < kTopFolders; ++top) {
        TDEntry* topDir = burner.AddDirectoryEntry(burner.Root, FolderListing("Project %03d", top));
        const int children = subFolders / kTopFolders + (top < subFolders % kTopFolders ? 1 : 0);
        for (int child = 0; child < children; ++child)
            addFiles(burner.AddDirectoryEntry(topDir, FolderListing("module_%04d", child)), perFolder);
        addFiles(topDir, perFolder);
    }
    addFiles(burner.Root, fileEntries - perFolder * (kLargeMaxDirectories - 1));
    rusage added{};
    getrusage(RUSAGE_SELF, &added);
    const bool prepared = burner.PrepareImage(true);
    const double seconds = SecondsSince(start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    std::printf("entries %d, directories %d, refused %d, prepared %s in %.2f s\n", burner.FileCount(),
                burner.DirectoryCount() + 1, refused, prepared ? "yes" : "no", seconds);
    std::printf("structures %zu bytes, session %lld sectors\n", burner.StructureStream.size(),
                static_cast<long long>(burner.SessionSectors));
    std::printf("peak resident memory: at start %.1f MB, after adding %.1f MB, after preparing %.1f MB\n",
                static_cast<double>(before.ru_maxrss) / 1024.0, static_cast<double>(added.ru_maxrss) / 1024.0,
                static_cast<double>(after.ru_maxrss) / 1024.0);
    return prepared && refused == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--peak-memory") == 0) return PeakMemoryChild();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
