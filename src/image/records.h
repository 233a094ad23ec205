#pragma once
// Builders of the on-disc records of one ISO 9660 session: volume descriptors (ECMA-119 8), path
// tables (ECMA-119 9.4), directory extents (ECMA-119 9.1) and the El Torito boot catalog. Each appends
// whole 2048-byte sectors to a stream and throws RecordRangeError when a value does not fit its field.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/iso_lib.h"
#include "image/iso_text.h"

namespace lorvane::image {

// The identification texts and dates of the volume, as the burner's properties hold them.
struct VolumeIdentity {
    std::string IdSystem, IdVolume, IdVolumeSet, IdPublisher, IdPreparer, IdApplication;
    std::string FileCopyright, FileAbstract, FileBibliographic;
    double DateCreation = 0;
    double DateModification = 0;
};

// Where the layout put one tree (ISO 9660 or Joliet); locations are byte offsets from the start of
// the session's first sector numbering, as the layout computes them.
struct TreePlacement {
    std::int64_t PathTableSize = 0; // exact bytes of one copy
    std::int64_t PathTableL = 0;
    std::int64_t PathTableM = 0;
    std::int64_t DirRecordsLocation = 0;
    std::int64_t RootSize = 0; // the root directory's extent size in bytes
};

// Volume descriptors, one sector each (ECMA-119 8.4, 8.5, 8.2, 8.3).
void WritePrimaryDescriptor(std::vector<std::uint8_t>& stream, const VolumeIdentity& identity,
                            std::int64_t sessionSectors, const TreePlacement& iso);
void WriteJolietDescriptor(std::vector<std::uint8_t>& stream, const VolumeIdentity& identity,
                           std::int64_t sessionSectors, const TreePlacement& joliet);
void WriteBootRecordDescriptor(std::vector<std::uint8_t>& stream, std::int64_t bootCatalogLocation);
void WriteTerminator(std::vector<std::uint8_t>& stream);

enum class TreeKind { Iso, Joliet };
enum class PathTableOrder { Little, Big }; // type L and type M (ECMA-119 9.4)

// The exact byte length of one path table copy for the directories in path-table order (root first).
std::int64_t PathTableBytes(std::span<TDEntry* const> order, TreeKind tree);

// One path table copy: the root's record, then every other directory of `order` from index 1,
// then zeros to the sector end. A directory's parent number is the parent's 1-based position in
// `order`. Throws RecordRangeError for a name longer than 255 bytes, a parent missing from `order`
// or numbered above 65535, or an extent sector above 32 bits.
void WritePathTable(std::vector<std::uint8_t>& stream, std::span<TDEntry* const> order, TreeKind tree,
                    std::uint32_t firstSector, PathTableOrder byteOrder);

// The bytes the directory's extent takes, a whole number of sectors; agrees with
// WriteDirectoryExtents record for record. Throws RecordRangeError for a record above 255 bytes.
std::int64_t DirectoryExtentBytes(const TDEntry& directory, TreeKind tree);

struct DirectoryAreas {
    std::uint32_t DirAreaSector = 0;  // first sector of this tree's directory extents
    std::uint32_t FileAreaSector = 0; // first sector of the file data
    double Now = 0;                   // date of the synthesised "." and ".." records
    int GMTOffset = 0;                // 15-minute units
};

// Every directory's extent in `directories` order; a record never crosses a sector end (ECMA-119
// 6.8.1.1). Throws RecordRangeError for a record above 255 bytes, or an extent or data length that
// needs more than 32 bits.
void WriteDirectoryExtents(std::vector<std::uint8_t>& stream, std::span<TDEntry* const> directories,
                           TreeKind tree, const DirectoryAreas& areas);

// The El Torito boot catalog sector: validation entry and default entry.
void WriteBootCatalog(std::vector<std::uint8_t>& stream, std::int64_t bootImageSize,
                      std::int64_t bootImageLocation);

} // namespace lorvane::image
