// The quick image save: the calling thread writes the prepared session into an image file.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "image/orbel_burner.h"

namespace lorvane::image {
namespace {

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    // Closes now, so that a failing close (a full disk on some file systems) can be reported.
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

std::string WriteFailedMessage(const std::string& path, int error) {
    return "CAN'T WRITE FILE \"" + path + "\" (" + std::strerror(error) + ")";
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t length, const std::string& imagePath) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw ImageWriteError(WriteFailedMessage(imagePath, written < 0 ? errno : ENOSPC));
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Reads up to `length` bytes; fewer only at the end of the file.
std::size_t ReadFully(int fd, std::uint8_t* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, data + done, length - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return static_cast<std::size_t>(-1);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::string ShorterMessage(const std::string& path) {
    return "FILE \"" + path + "\" IS SHORTER THAN WHEN IT WAS ADDED";
}

// Copies exactly `size` bytes of the source, then zeros up to the next whole sector. The kernel
// copies directly when it can; otherwise the copy goes through a buffer block by block. A source
// that ends early fails the copy, since every later sector would move.
void CopyIntoImage(const std::string& sourcePath, std::int64_t size, int image, const std::string& imagePath,
                   std::vector<std::uint8_t>& buffer) {
    FileDescriptor source(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) throw ImageWriteError(CantOpenFileMessage(sourcePath));
    ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::int64_t left = size;
    if (size >= static_cast<std::int64_t>(kFileCopyBlock)) {
        while (left > 0) {
            const ssize_t copied =
                ::copy_file_range(source.get(), nullptr, image, nullptr, static_cast<std::size_t>(left), 0);
            if (copied < 0 && errno == EINTR) continue;
            if (copied < 0) {
                // Not offered between these files: the buffer copies on from where the kernel stopped.
                if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                    errno == EBADF)
                    break;
                if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)
                    throw ImageWriteError(WriteFailedMessage(imagePath, errno));
                throw ImageWriteError(CantOpenFileMessage(sourcePath));
            }
            if (copied == 0) throw ImageWriteError(ShorterMessage(sourcePath));
            left -= copied;
        }
    }

    bool padded = false;
    while (left > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, kFileCopyBlock));
        const std::size_t got = ReadFully(source.get(), buffer.data(), want);
        if (got == static_cast<std::size_t>(-1)) throw ImageWriteError(CantOpenFileMessage(sourcePath));
        if (got < want) throw ImageWriteError(ShorterMessage(sourcePath));
        left -= static_cast<std::int64_t>(got);
        std::size_t length = got;
        if (left == 0) {
            length = static_cast<std::size_t>(SectorsFor(static_cast<std::int64_t>(got)) * kSectorSize);
            std::memset(buffer.data() + got, 0, length - got);
            padded = true;
        }
        WriteAll(image, buffer.data(), length, imagePath);
    }
    const auto tail = static_cast<std::size_t>(SectorsFor(size) * kSectorSize - size);
    if (!padded && tail > 0) {
        std::memset(buffer.data(), 0, tail);
        WriteAll(image, buffer.data(), tail, imagePath);
    }
}

} // namespace

std::string CantOpenFileMessage(const std::string& path) {
    return "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
}

std::string CantCreateFileMessage(const std::string& path) {
    return "CAN'T CREATE FILE \"" + path + "\"";
}

void TOrbelBurner::WriteFileData(int fd) {
    std::vector<std::uint8_t> buffer(kFileCopyBlock);
    const std::string imagePath = ISOFileName.empty() ? std::string("image") : ISOFileName;
    for (const auto& file : m_files) {
        const TFEntry& entry = *file;
        // Directory entries have no data; imported files keep theirs in the earlier session.
        if (entry.Dir || entry.Imported) continue;
        if (entry.ISOSize != 0) {
            // The image starts at the session's first sector; both numbers are disc sectors.
            const off_t at = ::lseek(fd, 0, SEEK_CUR);
            const std::int64_t expected = FirstFileLocation / kSectorSize + entry.Extent;
            const std::int64_t actual = at < 0 ? -1 : SessionStart + at / kSectorSize;
            if (actual != expected) {
                AddDebugMessage(">>> INTERNAL ERROR 0004 " + entry.SourcePath + " " +
                                    std::to_string(expected) + "<>" + std::to_string(actual),
                                logtype::kPath);
                // The file would land at another sector than its directory record says.
                throw ImageWriteError("INTERNAL ERROR 0004");
            }
        }
        CopyIntoImage(entry.SourcePath, entry.ISOSize, fd, imagePath, buffer);
    }
}

int TOrbelBurner::SaveQuick(const std::string& fileName) {
    // The image path is the one the messages name while this save runs.
    const std::string savedName = ISOFileName;
    ISOFileName = fileName;
    struct Restore {
        std::string& target;
        std::string value;
        ~Restore() { target = value; }
    } restore{ISOFileName, savedName};

    if (StructureStream.empty()) throw ImageWriteError("THE COMPILATION IS NOT PREPARED");
    FileDescriptor image(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (image.get() < 0) throw ImageWriteError(CantCreateFileMessage(fileName));

    // The structures up to the boot catalog, the boot image in its sectors, then the padding.
    const std::size_t split = BootImageStreamOffset();
    WriteAll(image.get(), StructureStream.data(), split, fileName);
    if (Bootable) {
        std::vector<std::uint8_t> buffer(kFileCopyBlock);
        if (BootImageSize != SectorsFor(BootImageBytes) * kSectorSize)
            throw ImageWriteError("INTERNAL ERROR 0005");
        CopyIntoImage(BootImage, BootImageBytes, image.get(), fileName, buffer);
    }
    WriteAll(image.get(), StructureStream.data() + split, StructureStream.size() - split, fileName);
    WriteFileData(image.get());
    if (!image.Close()) throw ImageWriteError(WriteFailedMessage(fileName, errno));

    if (OnWriteDone) OnWriteDone(this, "");
    return 1;
}

} // namespace lorvane::image
