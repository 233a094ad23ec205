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

} // namespace

// Appends to the image through one large buffer, so that a tree of small files costs few writes; the
// position is kept here rather than asked of the system for every file.
class ImageAppender {
public:
    ImageAppender(int fd, std::string path, std::int64_t position)
        : m_fd(fd), m_path(std::move(path)), m_position(position) {
        m_pending.reserve(kGatherBytes);
    }
    ~ImageAppender() = default;
    ImageAppender(const ImageAppender&) = delete;
    ImageAppender& operator=(const ImageAppender&) = delete;

    std::int64_t Position() const { return m_position + static_cast<std::int64_t>(m_pending.size()); }

    void Append(const std::uint8_t* data, std::size_t length) {
        if (m_pending.size() + length > kGatherBytes) Flush();
        if (length >= kGatherBytes) {
            WriteAll(m_fd, data, length, m_path);
            m_position += static_cast<std::int64_t>(length);
            return;
        }
        m_pending.insert(m_pending.end(), data, data + length);
    }
    void AppendZeros(std::size_t length) {
        static constexpr std::uint8_t kZeros[kSectorSize] = {};
        while (length > 0) {
            const std::size_t n = std::min<std::size_t>(length, kSectorSize);
            Append(kZeros, n);
            length -= n;
        }
    }
    void Flush() {
        WriteAll(m_fd, m_pending.data(), m_pending.size(), m_path);
        m_position += static_cast<std::int64_t>(m_pending.size());
        m_pending.clear();
    }

    // Copies exactly `size` bytes of the source, then zeros up to the next whole sector. Large files go
    // through the kernel's own copy; small ones are gathered. A source that ends early fails the copy,
    // since every later sector would move.
    void CopyFile(const std::string& sourcePath, std::int64_t size, std::vector<std::uint8_t>& buffer) {
        FileDescriptor source(::open(sourcePath.c_str(), O_RDONLY | O_CLOEXEC));
        if (source.get() < 0) throw ImageWriteError(CantOpenFileMessage(sourcePath));
        std::int64_t left = size;
        if (size >= static_cast<std::int64_t>(kFileCopyBlock)) {
            ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
            Flush();
            while (left > 0) {
                const ssize_t copied = ::copy_file_range(source.get(), nullptr, m_fd, nullptr,
                                                         static_cast<std::size_t>(left), 0);
                if (copied < 0 && errno == EINTR) continue;
                if (copied < 0) {
                    // Not offered between these files: the buffer copies on from where the kernel stopped.
                    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                        errno == EBADF)
                        break;
                    if (errno == ENOSPC || errno == EFBIG || errno == EDQUOT)
                        throw ImageWriteError(WriteFailedMessage(m_path, errno));
                    throw ImageWriteError(CantOpenFileMessage(sourcePath));
                }
                if (copied == 0) throw ImageWriteError(ShorterMessage(sourcePath));
                left -= copied;
                m_position += copied;
            }
        }
        while (left > 0) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, kFileCopyBlock));
            const std::size_t got = ReadFully(source.get(), buffer.data(), want);
            if (got == static_cast<std::size_t>(-1)) throw ImageWriteError(CantOpenFileMessage(sourcePath));
            if (got < want) throw ImageWriteError(ShorterMessage(sourcePath));
            Append(buffer.data(), got);
            left -= static_cast<std::int64_t>(got);
        }
        AppendZeros(static_cast<std::size_t>(SectorsFor(size) * kSectorSize - size));
    }

private:
    static constexpr std::size_t kGatherBytes = 1 << 20;
    const int m_fd;
    const std::string m_path;
    std::int64_t m_position; // bytes written to the file so far
    std::vector<std::uint8_t> m_pending;
};

std::string CantOpenFileMessage(const std::string& path) {
    return "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
}

std::string CantCreateFileMessage(const std::string& path) {
    return "CAN'T CREATE FILE \"" + path + "\"";
}

void TOrbelBurner::WriteFileData(int fd) {
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    ImageAppender image(fd, ISOFileName.empty() ? std::string("image") : ISOFileName, start < 0 ? -1 : start);
    WriteFileData(image);
    image.Flush();
}

void TOrbelBurner::WriteFileData(ImageAppender& image) {
    std::vector<std::uint8_t> buffer(kFileCopyBlock);
    for (const auto& file : m_files) {
        const TFEntry& entry = *file;
        // Directory entries have no data; imported files keep theirs in the earlier session.
        if (entry.Dir || entry.Imported) continue;
        if (entry.ISOSize != 0) {
            // The image starts at the session's first sector; both numbers are disc sectors.
            const std::int64_t at = image.Position();
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
        image.CopyFile(entry.SourcePath, entry.ISOSize, buffer);
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
    {
        ImageAppender appender(image.get(), fileName, 0);
        appender.Append(StructureStream.data(), split);
        if (Bootable) {
            std::vector<std::uint8_t> buffer(kFileCopyBlock);
            if (BootImageSize != SectorsFor(BootImageBytes) * kSectorSize)
                throw ImageWriteError("INTERNAL ERROR 0005");
            appender.CopyFile(BootImage, BootImageBytes, buffer);
        }
        appender.Append(StructureStream.data() + split, StructureStream.size() - split);
        WriteFileData(appender);
        appender.Flush();
    }
    if (!image.Close()) throw ImageWriteError(WriteFailedMessage(fileName, errno));

    if (OnWriteDone) OnWriteDone(this, "");
    return 1;
}

} // namespace lorvane::image
