#include "pipeline/stream_ex.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace lorvane::pipeline {

std::string CantCreateFileText(const std::string& path) {
    return "CAN'T CREATE FILE \"" + path + "\"";
}

std::string CantOpenFileText(const std::string& path) {
    return "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
}

std::int64_t TStreamEx::Size() {
    const std::int64_t position = Seek(0, soCurrent);
    const std::int64_t size = Seek(0, soEnd);
    Seek(position, soBeginning);
    return size;
}

void THandleStreamEx::SetSize(std::int64_t newSize) {
    if (Seek(newSize, soBeginning) < 0 || ::ftruncate(Handle, static_cast<off_t>(newSize)) != 0)
        throw EStreamError(std::strerror(errno));
}

std::int32_t THandleStreamEx::Read(void* buffer, std::int32_t count) {
    if (count < 0) throw std::out_of_range("negative read count");
    for (;;) {
        const ssize_t got = ::read(Handle, buffer, static_cast<std::size_t>(count));
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? 0 : static_cast<std::int32_t>(got);
    }
}

std::int32_t THandleStreamEx::Write(const void* buffer, std::int32_t count) {
    if (count < 0) throw std::out_of_range("negative write count");
    for (;;) {
        const ssize_t written = ::write(Handle, buffer, static_cast<std::size_t>(count));
        if (written < 0 && errno == EINTR) continue;
        return written < 0 ? 0 : static_cast<std::int32_t>(written);
    }
}

std::int64_t THandleStreamEx::Seek(std::int64_t offset, std::uint16_t origin) {
    const int whence = origin == soCurrent ? SEEK_CUR : origin == soEnd ? SEEK_END : SEEK_SET;
    const off_t position = ::lseek(Handle, static_cast<off_t>(offset), whence);
    return position < 0 ? -1 : static_cast<std::int64_t>(position);
}

namespace {

int OpenFile(const std::string& fileName, std::uint16_t mode) {
    if (mode == fmCreate) {
        const int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) throw EFCreateError(CantCreateFileText(fileName));
        return fd;
    }
    const int access = (mode & 3) == fmOpenWrite       ? O_WRONLY
                       : (mode & 3) == fmOpenReadWrite ? O_RDWR
                                                       : O_RDONLY;
    const int fd = ::open(fileName.c_str(), access | O_CLOEXEC);
    struct stat info {};
    // A folder opens for reading on Linux but has no bytes to give.
    if (fd >= 0 && (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))) {
        ::close(fd);
        throw EFOpenError(CantOpenFileText(fileName));
    }
    if (fd < 0) throw EFOpenError(CantOpenFileText(fileName));
    return fd;
}

} // namespace

TFileStreamEx::TFileStreamEx(const std::string& fileName, std::uint16_t mode)
    : THandleStreamEx(OpenFile(fileName, mode)) {}

TFileStreamEx::~TFileStreamEx() {
    if (Handle >= 0) ::close(Handle);
}

} // namespace lorvane::pipeline
