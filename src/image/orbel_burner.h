#pragma once
// TOrbelBurner: the burner component. It adds the volume identification, the in-memory compilation
// tree and its naming rules to the drive-control component.

#include "drive/scsi_device.h"
#include "image/enumeration.h"
#include "image/iso_lib.h"
#include "pipeline/block_queue.h"
#include "pipeline/cache_thread.h"
#include "pipeline/writer.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace lorvane::image {

inline constexpr std::int64_t kSectorSize = 2048;

// Bytes as whole 2048-byte sectors, rounded up (0 for 0).
constexpr std::int64_t SectorsFor(std::int64_t bytes) {
    return bytes <= 0 ? 0 : (bytes + kSectorSize - 1) / kSectorSize;
}

inline constexpr int kDefaultCacheSize = 4194304;
inline constexpr int kMinimumCacheSize = 2097152; // 1024 sectors
inline constexpr const char* kComponentVersion = "1.1.8";
inline constexpr int kDefaultMaxFiles = 65535;
inline constexpr int kDefaultMaxDirectories = 8191;
inline constexpr std::int64_t kMinimumPostGapSectors = 300;
inline constexpr int kMaxDirectoryLevel = 255; // the root is level 1
// ISO 9660 records a data length in 32 bits (ECMA-119 9.1.4): larger files cannot be recorded.
inline constexpr std::uint64_t kMaxRecordableFileSize = 0xFFFFFFFFu;

namespace logtype {
inline constexpr std::uint8_t kError = 0;
inline constexpr std::uint8_t kInfo = 1;
inline constexpr std::uint8_t kLimit = 3;
inline constexpr std::uint8_t kPath = 4;
} // namespace logtype

inline constexpr const char* kInvalidDestinationMessage = "INVALID DESTINATION PATH";
inline constexpr const char* kNoNextWritableAddressMessage = "ERROR GETTING NEXT WRITABLE ADDRESS";
inline constexpr const char* kImportedDataOverwrittenMessage =
    "THE NEW SESSION WOULD OVERWRITE THE IMPORTED FILES (THIS DISC IS WRITTEN FROM ITS START)";
inline constexpr const char* kClosedDiscMessage = "THE DISC IS CLOSED: NO SESSION CAN BE ADDED";
// The file area never starts before this byte (sector 150), so that short sessions stay readable.
inline constexpr std::int64_t kMinimumFileAreaStart = 307200;
// Source files are copied into an image in blocks of this many bytes.
inline constexpr std::size_t kFileCopyBlock = 131072;

// A failure to read a source or to write the image; the message is the text the user sees.
class ImageWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The texts of the image writers, with the path in place of %s.
std::string CantOpenFileMessage(const std::string& path);
std::string CantCreateFileMessage(const std::string& path);

class ImageAppender;

class TOrbelBurner : public drive::TSCSIDevice {
public:
    using TAddFileEvent = std::function<void(
        TOrbelBurner* sender, const std::string& fullPath, std::string& longFileName,
        std::string& shortFileName, double& dateTime, std::uint32_t attr, std::int64_t fileSize, bool& skip)>;
    using TAddDirEvent =
        std::function<void(TOrbelBurner* sender, std::string& longName, std::string& shortName, bool& skip)>;
    using TWriteDoneEvent = std::function<void(TOrbelBurner* sender, const std::string& error)>;
    using TNotifyEvent = std::function<void(TOrbelBurner* sender)>;

    explicit TOrbelBurner(transport::Clock& clock = transport::SystemClock());
    ~TOrbelBurner() override;

    // Published properties (the device layer's are inherited).
    bool ReplaceFile = false;
    std::string IdVolume;
    std::string IdSystem;
    std::string IdVolumeSet;
    std::string IdPublisher;
    std::string IdPreparer;
    std::string IdApplication;
    std::string FileCopyright;
    std::string FileAbstract;
    std::string FileBibliographic;
    double DateCreation = 0;
    double DateModification = 0;
    double DateEffective = 0;
    double DateExpiration = 0;
    std::string ISOFileName;
    bool JolietFileSystem = true;
    TAddFileEvent OnAddFile;
    TAddDirEvent OnAddDir;
    TWriteDoneEvent OnWriteDone;
    TNotifyEvent OnFinalizingTrack;

    int CacheSize() const { return m_cacheSize; }
    // Below 2097152 (negative values included) stores 2097152; otherwise rounds down to whole sectors.
    void SetCacheSize(int value);
    std::string Version() const { return kComponentVersion; }
    void SetVersion(const std::string& /*ignored*/) {}

    // Public members shared with the layout, the writers and the application.
    TDEntry* Root = nullptr;
    std::int64_t CompilationSize = 0;
    bool Bootable = false;
    std::string BootImage;
    bool LastFolderOnly = false;
    std::vector<std::uint8_t> StructureStream; // generated file-system sectors
    std::int64_t SessionSectors = 0;           // sectors of the planned session
    int GMTOffset = 0;                         // local time's offset from UTC in 15-minute units
    // The entry before the one FindEntry found last (nullptr when it was the first of its list).
    TFEntry* PreviousEntry = nullptr;
    // Sounded when a recursive add meets a folder named "Installer"; the application plugs its beep in.
    std::function<void()> DefaultBeep;

    int DirectoryCount() const { return static_cast<int>(m_directories.size()) - 1; }
    int FileCount() const { return static_cast<int>(m_files.size()); }
    std::int64_t TotalSectors() const {
        return WritePostGap ? std::max(SessionSectors, kMinimumPostGapSectors) : SessionSectors;
    }

    // The node tables: Directories and Files in creation order (index 0 of Directories is Root);
    // ISOOrder and JolietOrder hold the same directories for the path-table sorts.
    const std::vector<std::unique_ptr<TDEntry>>& Directories() const { return m_directories; }
    const std::vector<std::unique_ptr<TFEntry>>& Files() const { return m_files; }
    std::vector<TDEntry*> ISOOrder;
    std::vector<TDEntry*> JolietOrder;
    int MaxFiles() const { return m_maxFiles; }
    int MaxDirectories() const { return m_maxDirectories; }

    // The compilation tree. Tree paths use "\" as separator; source paths are Linux paths.
    bool ClearCompilation(int maxFiles, int maxDirectories);
    TDEntry* NewDirNode();
    TFEntry* NewFileNode();
    TDEntry* FindDirectory(const std::string& path) const;
    TFEntry* FindEntry(TDEntry* dir, const std::string& name);
    TDEntry* AddDirectoryEntry(TDEntry* parent, const DirectoryListing& listing);
    TDEntry* CreateDirectory(TDEntry* parent, const std::string& name, std::uint32_t attributes);
    TDEntry* ForceDirectories(const std::string& path);
    bool AddFileEntry(TDEntry* dir, const DirectoryListing& listing, bool archiveMode,
                      std::int32_t importedSector, const std::string& sourcePath);
    // 1 the source was found (whether or not an entry resulted), -1 not found, 0 no such destination.
    int AddFile(const std::string& destPath, const std::string& sourceFile, bool keepSourcePath);
    // 1 success, 0 when the destination, the source folder or a directory could not be had.
    int AddDirectory(TDEntry* dir, const std::string& sourcePath, const std::string& mask,
                     std::uint32_t attributes, bool recursive, bool keepSourcePath, bool archiveOnly);
    static std::string DirectoryPath(const TDEntry* dir);
    static TFEntry* LastEntry(TFEntry* first);

    // Layout results: byte positions from logical block 0 unless named as sectors.
    std::uint32_t SessionStart = 0; // sector
    std::int64_t PVDLocation = 0;
    std::int64_t BootRecordLocation = 0;
    std::int64_t JolietSVDLocation = 0;
    std::int64_t TerminatorLocation = 0;
    std::int64_t PathTableL = 0;
    std::int64_t PathTableM = 0;
    std::int64_t JolietPathTableL = 0;
    std::int64_t JolietPathTableM = 0;
    std::int64_t PathTableSize = 0;
    std::int64_t JolietPathTableSize = 0;
    std::int64_t DirRecordsLocation = 0;
    std::int64_t DirRecordsSize = 0;
    std::int64_t JolietDirRecordsLocation = 0;
    std::int64_t JolietDirRecordsSize = 0;
    std::int64_t BootCatalogLocation = 0;
    std::int64_t BootImageLocation = 0;
    std::int64_t BootImageSize = 0; // whole sectors, in bytes
    std::int64_t PadBytes = 0;      // positive: zero padding before the first file
    std::int64_t FirstFileLocation = 0;
    std::int64_t FileDataSectors = 0;
    std::int64_t ImageEnd = 0; // sector after the session
    // The boot image's own length in bytes when the layout was planned.
    std::int64_t BootImageBytes = 0;
    // Why the last PrepareImage failed; empty after a success.
    std::string ImageError;

    // Plans the session (positions, directory order and numbering, file extents). Throws
    // RecordRangeError when a value outgrows its field and ImageWriteError for an unreadable boot image.
    bool PlanLayout(bool isoOnly);
    // The drive's next writable address into SessionStart; false (and SessionStart 0) when unknown.
    bool PrepareTrack();
    // Generates every file-system sector into StructureStream; throws RecordRangeError.
    bool BuildStructures();
    // PlanLayout, then BuildStructures. False, with ImageError set and logged, when a value does not fit
    // its field or the boot image cannot be read.
    bool PrepareImage(bool isoOnly);
    // Where the boot image goes inside the generated sectors: the structures up to the boot catalog come
    // before it, the padding after it. Without a boot image, the end of StructureStream.
    std::size_t BootImageStreamOffset() const;

    // The path-table sorts over one directory table (index 0, the root, stays).
    void SortByLevelName(std::vector<TDEntry*>& table, bool joliet);
    void SortByParentName(std::vector<TDEntry*>& table, bool joliet);
    void SortByNumber(std::vector<TDEntry*>& table);
    void SortByParentNumber(std::vector<TDEntry*>& table);
    std::int64_t DirectoryExtentSize(const TDEntry& dir, bool joliet) const;
    std::int64_t AssignDirectoryExtents(bool joliet);
    void AssignFileExtents();

    // Appends the data of every added file, sector-aligned, to the image open on `fd`, which stands
    // at the first file's sector. Throws ImageWriteError when a source cannot be read in full or the
    // image cannot be written.
    void WriteFileData(int fd);
    // Saves the prepared session as an image file. Quick: the calling thread writes it, raises
    // OnWriteDone and returns 1; failures throw ImageWriteError. Otherwise a producer and a writer
    // thread save it in the background (-1; the outcome comes through OnWriteDone).
    int SaveToISO(const std::string& fileName, bool quickSave);

    // Writing. Burn records the prepared compilation on the selected drive; BurnISO records an existing
    // image file on an empty disc. Both return once the read-ahead is full and the writer runs (true),
    // or after raising OnWriteDone when they could not start (false).
    bool Burn();
    bool BurnISO(const std::string& fileName);
    bool StartWriteThread(bool toImageFile);
    // Asks the running write to stop before its next block.
    void AbortWrite();
    // Waits until the writer thread of the last write has ended (after its OnWriteDone).
    void WaitForWriteEnd();
    // Whether a writer thread runs (one per process).
    static bool Writing() { return pipeline::Writing; }
    // The software buffer's fill in percent; 0 while no write runs.
    int CacheFillPercent() const;
    // Bytes handed to the drive or the file in this run; written by the writer, read by the display.
    std::atomic<std::int64_t> WrittenBytes{0};

    // Session import (reading an earlier session back into the tree) and file extraction.
    // sessionNo: -1 the last session, 0 none; target: nullptr for the root.
    bool ImportDiscSession(int sessionNo, TDEntry* target);
    // Whether the last import met a directory sector the drive could not read: the tree then lacks
    // what that directory held, and a new session built on it would hide those files.
    bool ImportIncomplete() const { return m_importIncomplete; }
    bool ReadJolietDirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir);
    bool ReadISODirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir);
    // Copies an imported file's data into a new local file; false when a sector could not be read.
    // Throws ImageWriteError when the file cannot be created.
    bool ExtractFile(const TFEntry* node, const std::string& destFileName);
    // Bytes of a local file, or of every file below a local folder when the path ends with "/".
    std::int64_t GetPathSize(const std::string& path);
    // Removing entries from the tree.
    bool RemoveNode(TDEntry* dir, TFEntry* node);
    bool RemoveDirectory(TDEntry*& dir);
    bool RemoveFileByName(const std::string& dirPath, const std::string& name);
    bool RemoveEmptyDirectories();
    // Clears the archive bit of the sources an archive-only add took.
    bool ClearArchiveBits();

private:
    void SortDirectories();
    // One directory of an imported session, in either tree.
    bool ReadImportedDirectory(std::uint32_t extent, std::uint32_t size, TDEntry* dir, bool joliet,
                               int depth);
    // Directory sectors already read by the running import: a directory met twice (a loop, or two
    // records sharing an extent) is read once, and one whose extent runs into sectors another
    // directory already read stops there, so every sector is walked at most once per import.
    std::unordered_set<std::uint32_t> m_importedSectors;
    // Bytes the imported ISO 9660 tree's SUSP indicator asks to skip in each record's system use area
    // before its entries; -1 when the tree carries no SUSP (and so no Rock Ridge names).
    int m_suspSkip = -1;
    // Unlinks the entries (and everything below the directories among them) and drops them from the
    // tables in one pass.
    void RemoveEntries(std::span<const std::pair<TDEntry*, TFEntry*>> entries);
    int m_importedRecords = 0;
    bool m_importIncomplete = false;
    int SaveQuick(const std::string& fileName);
    // The refusal text when sectors from start on do not fit on the disc in the drive; empty when they
    // fit or the drive does not tell its capacity.
    std::string RoomRefusal(const char* what, std::int64_t start, std::int64_t sectors);
    // Whether the disc in the drive is closed: a finalized disc of a medium that appends sessions, or a
    // pressed one.
    bool DiscIsClosed();
    // Logs why a write cannot start, tells OnWriteDone and gives false.
    bool RefuseWrite(const std::string& reason);
    void WriteFileData(ImageAppender& image);
    // Starts the producer and waits until it is primed; false (OnWriteDone raised) when it failed.
    bool StartProducer(std::unique_ptr<pipeline::BlockQueue> producer);
    pipeline::WriteRun MakeRun();
    pipeline::CompilationSources MakeSources();
    void ReleaseProducer();
    // Ends a running write and joins the writer threads.
    void StopWriting();

    mutable std::mutex m_producerLock; // guards m_producer (the writer releases it, the display reads it)
    std::unique_ptr<pipeline::BlockQueue> m_producer;
    pipeline::TThWrite m_writer;
    pipeline::TISOWrite m_imageWriter;
    int AddDirectoryLevel(TDEntry* dir, const std::string& sourcePath, const std::string& mask,
                          std::uint32_t attributes, bool recursive, bool archiveOnly, bool topLevel);
    // The tree path a kept source path gives: the folder part of a Linux path with "\" separators,
    // cut to its last folder when LastFolderOnly is on.
    std::string KeptPath(const std::string& sourceFolder) const;
    void AppendEntry(TDEntry* dir, TFEntry* entry);
    void IndexEntry(TFEntry* entry);
    void UnindexEntry(TFEntry* entry);
    void DropEmptyDirectory(TDEntry* dir);
    void LogListing(const std::string& line) { AddDebugMessage(line, logtype::kPath); }

    int m_cacheSize = kDefaultCacheSize;
    int m_maxFiles = 0;
    int m_maxDirectories = 0;
    std::uint64_t m_nextOrder = 0;
    std::vector<std::unique_ptr<TDEntry>> m_directories;
    std::vector<std::unique_ptr<TFEntry>> m_files;
    // Upper-cased Path -> directories with that path, in creation order.
    std::unordered_map<std::string, std::vector<TDEntry*>> m_directoriesByPath;
};

} // namespace lorvane::image
