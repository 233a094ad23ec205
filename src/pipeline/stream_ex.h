#pragma once
// Unbuffered file streams with 64-bit positions and sizes, for sources, boot images and image files
// larger than 2 GiB. Reads and writes report failure as a short count; only opening and creating throw.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lorvane::pipeline {

// Stream errors: a file that cannot be created or opened, and a size the system refused.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// Open modes: create (replacing a file), or the access in the low two bits and the sharing in bits 4-7.
inline constexpr std::uint16_t fmCreate = 0xFFFF;
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;
// What the pipeline opens its inputs with: read access, others may read and write meanwhile.
inline constexpr std::uint16_t kInputMode = fmOpenRead | fmShareDenyNone;

// Seek origins.
inline constexpr std::uint16_t soBeginning = 0;
inline constexpr std::uint16_t soCurrent = 1;
inline constexpr std::uint16_t soEnd = 2;

std::string CantCreateFileText(const std::string& path);
std::string CantOpenFileText(const std::string& path);

class TStreamEx {
public:
    virtual ~TStreamEx() = default;
    virtual void SetSize(std::int64_t /*newSize*/) {}
    // Up to count bytes; the number transferred, 0 at the end or on failure. A negative count is a
    // programming error (std::out_of_range).
    virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
    virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
    // The new position, or -1 when the move failed.
    virtual std::int64_t Seek(std::int64_t offset, std::uint16_t origin) = 0;
    // The size, leaving the position where it was.
    std::int64_t Size();
};

class THandleStreamEx : public TStreamEx {
public:
    explicit THandleStreamEx(int handle) : Handle(handle) {}
    void SetSize(std::int64_t newSize) override; // throws EStreamError with the system's message
    std::int32_t Read(void* buffer, std::int32_t count) override;
    std::int32_t Write(const void* buffer, std::int32_t count) override;
    std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;

    int Handle; // the file descriptor; negative when no file is open
};

class TFileStreamEx : public THandleStreamEx {
public:
    // Throws EFCreateError ("CAN'T CREATE FILE ...") or EFOpenError ("CAN'T OPEN FILE ...").
    // Linux has no share modes: the sharing bits are accepted and every open shares with everybody.
    TFileStreamEx(const std::string& fileName, std::uint16_t mode);
    ~TFileStreamEx() override;
    TFileStreamEx(const TFileStreamEx&) = delete;
    TFileStreamEx& operator=(const TFileStreamEx&) = delete;
};

} // namespace lorvane::pipeline
