#include "fake_kernel.h"

#include <algorithm>
#include <cassert>
#include <charconv>

namespace lorvane::testing {

namespace {

constexpr std::uint8_t kInquiry = 0x12;
constexpr std::string_view kNodePrefix = "/dev/sr";

void PutText(std::vector<std::uint8_t>& out, std::size_t at, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i)
        out[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{' '};
}

std::optional<int> NodeNumber(const std::string& path) {
    if (!path.starts_with(kNodePrefix)) return std::nullopt;
    int number = 0;
    const char* first = path.data() + kNodePrefix.size();
    const char* end = path.data() + path.size();
    const auto [ptr, ec] = std::from_chars(first, end, number);
    if (ec != std::errc{} || ptr != end || first == end) return std::nullopt;
    return number;
}

void CopyOut(const std::vector<std::uint8_t>& from, std::uint8_t* to, std::size_t room) {
    if (to == nullptr) return;
    std::copy_n(from.begin(), std::min(from.size(), room), to);
}

} // namespace

std::vector<std::uint8_t> StandardInquiry(const std::string& vendor, const std::string& product,
                                          const std::string& revision) {
    std::vector<std::uint8_t> reply(96, 0);
    reply[0] = 0x05;   // peripheral device type: CD/DVD
    reply[1] = 0x80;   // RMB: removable medium
    reply[2] = 0x05;   // version: SPC-3
    reply[3] = 0x02;   // response data format 2
    reply[4] = 96 - 5; // additional length
    PutText(reply, 8, 8, vendor);
    PutText(reply, 16, 16, product);
    PutText(reply, 32, 4, revision);
    return reply;
}

FakeDrive& FakeKernel::AddDrive(int number, std::optional<transport::ScsiAddress> address) {
    std::scoped_lock lock(m_lock);
    FakeDrive& drive = m_drives[number];
    drive.number = number;
    drive.address = address;
    return drive;
}

FakeDrive& FakeKernel::Drive(int number) {
    std::scoped_lock lock(m_lock);
    const auto found = m_drives.find(number);
    assert(found != m_drives.end());
    return found->second;
}

int FakeKernel::OpenHandles() const {
    std::scoped_lock lock(m_lock);
    return static_cast<int>(m_handles.size());
}

int FakeKernel::BadCloses() const {
    std::scoped_lock lock(m_lock);
    return m_badCloses;
}

std::vector<std::string> FakeKernel::OpenedPaths() const {
    std::scoped_lock lock(m_lock);
    return m_paths;
}

std::vector<int> FakeKernel::OpticalDrives() {
    std::scoped_lock lock(m_lock);
    std::vector<int> numbers;
    for (const auto& [number, drive] : m_drives) numbers.push_back(number); // std::map: ascending
    return numbers;
}

int FakeKernel::Open(const std::string& path, bool readWrite) {
    std::scoped_lock lock(m_lock);
    m_paths.push_back(path);
    const auto number = NodeNumber(path);
    if (!number) return -1;
    const auto found = m_drives.find(*number);
    if (found == m_drives.end()) return -1;
    FakeDrive& drive = found->second;
    if (drive.openFailure == OpenFailure::Both ||
        (readWrite && drive.openFailure == OpenFailure::ReadWrite)) {
        ++drive.failedOpens;
        return -1;
    }
    ++(readWrite ? drive.readWriteOpens : drive.readOnlyOpens);
    const int fd = m_nextFd++;
    m_handles[fd] = *number;
    return fd;
}

FakeDrive* FakeKernel::DriveOf(int fd) {
    const auto handle = m_handles.find(fd);
    if (handle == m_handles.end()) return nullptr;
    return &m_drives.at(handle->second);
}

bool FakeKernel::SendScsi(int fd, transport::PassThroughRequest& request) {
    SeenRequest seen;
    seen.fd = fd;
    if (request.cdb != nullptr) seen.cdb.assign(request.cdb, request.cdb + request.cdbLength);
    seen.direction = request.direction;
    seen.dataLength = request.dataLength;
    if (request.direction == transport::DataDirection::Out && request.data != nullptr)
        seen.dataOut.assign(request.data, request.data + request.dataLength);
    seen.senseLength = request.senseLength;
    seen.timeoutMs = request.timeoutMs;

    FakeReply reply;
    std::function<FakeReply(const SeenRequest&)> respond;
    {
        std::scoped_lock lock(m_lock);
        FakeDrive* drive = DriveOf(fd);
        if (drive == nullptr) return false; // EBADF
        ++drive->commands;
        drive->last = seen;
        if (!seen.cdb.empty() && seen.cdb[0] == kInquiry) {
            ++drive->inquiries;
            reply.ioctlFails = drive->inquiryFails;
            reply.data = drive->inquiry;
        } else if (drive->respond) {
            respond = drive->respond; // called unlocked: a script may look at the kernel
        } else if (!drive->replies.empty()) {
            reply = std::move(drive->replies.front());
            drive->replies.pop_front();
        }
    }
    if (respond) reply = respond(seen);
    if (reply.ioctlFails) return false;

    request.scsiStatus = reply.scsiStatus;
    request.hostStatus = reply.hostStatus;
    request.driverStatus = reply.driverStatus;
    if (request.direction == transport::DataDirection::In)
        CopyOut(reply.data, request.data, request.dataLength);
    const std::size_t senseWritten = std::min<std::size_t>(reply.sense.size(), request.senseLength);
    CopyOut(reply.sense, request.sense, senseWritten);
    request.senseWritten = static_cast<std::uint8_t>(senseWritten);
    return true;
}

std::optional<transport::ScsiAddress> FakeKernel::Address(int fd) {
    std::scoped_lock lock(m_lock);
    FakeDrive* drive = DriveOf(fd);
    if (drive == nullptr) return std::nullopt;
    return drive->address;
}

void FakeKernel::Close(int fd) {
    std::scoped_lock lock(m_lock);
    FakeDrive* drive = DriveOf(fd);
    if (drive == nullptr) {
        ++m_badCloses;
        return;
    }
    ++drive->closes;
    m_handles.erase(fd);
}

} // namespace lorvane::testing
