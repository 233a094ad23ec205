#include "recorder/virtual_recorder.h"

#include "recorder/virtual_drive.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace lorvane::recorder {

namespace ts = transport::srbstatus;

namespace {

// Host adapter inquiry answer, as an ASPI manager fills it.
constexpr char kManagerId[] = "LORVANE VIRTUAL ";
static_assert(sizeof(kManagerId) - 1 == 16);
constexpr std::uint8_t kAdapterScsiId = 7;
constexpr std::uint16_t kAlignmentMask = 0x0007;
constexpr std::uint8_t kMaxTargets = 8;
constexpr std::uint32_t kMaxTransferLength = 0x00FF0000;
namespace adapterunique {
inline constexpr std::size_t kAlignmentMask = 0, kFlags = 2, kMaxTargets = 3, kMaxTransferLength = 4;
}
constexpr std::uint8_t kNoDeviceType = 0x1F; // SPC: unknown or no device type

void CopyPadded(char* out, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i) out[i] = i < text.size() ? text[i] : ' ';
}

std::atomic<VirtualRecorder*> g_installed{nullptr};

std::uint32_t InstalledGetSupportInfo() {
    VirtualRecorder* recorder = g_installed.load();
    return recorder ? recorder->GetSupportInfo() : std::uint32_t{ts::kNoAdapters} << 8;
}

std::uint32_t InstalledSendCommand(void* srb) {
    if (srb == nullptr) return ts::kError;
    if (VirtualRecorder* recorder = g_installed.load()) return recorder->SendCommand(srb);
    auto* header = static_cast<transport::SrbHeader*>(srb);
    return header->status = ts::kInvalidHostAdapter; // no recorder: no adapters at all
}

} // namespace

struct VirtualRecorder::Impl {
    explicit Impl(transport::Clock& c) : clock(c) {}

    std::uint8_t AdapterCountLocked() const {
        std::uint8_t count = 0;
        for (const auto& drive : drives)
            count = std::max<std::uint8_t>(count, static_cast<std::uint8_t>(drive->Adapter() + 1));
        return count;
    }
    VirtualDrive* FindLocked(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) const {
        for (const auto& drive : drives)
            if (drive->Adapter() == adapter && drive->Target() == target && drive->Lun() == lun)
                return drive.get();
        return nullptr;
    }
    // A drive that still answers at that address.
    VirtualDrive* PresentLocked(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) const {
        VirtualDrive* drive = FindLocked(adapter, target, lun);
        return drive && !drive->VanishedLocked() ? drive : nullptr;
    }
    void ForgetPendingLocked(const void* srb) { std::erase(pending, srb); }

    std::uint8_t HostAdapterInquiry(transport::SrbHostAdapterInquiry& srb) const;
    std::uint8_t GetDeviceType(transport::SrbGetDeviceType& srb) const;
    std::uint8_t Execute(transport::SrbExecuteScsi& srb);
    std::uint8_t Abort(transport::SrbAbort& srb);

    transport::Clock& clock;
    mutable std::mutex lock; // guards drives (the list and every drive's state) and pending
    std::vector<std::unique_ptr<VirtualDrive>> drives;
    std::vector<const void*> pending; // SRBs a NeverComplete fault holds; never written unless aborted
};

std::uint8_t VirtualRecorder::Impl::HostAdapterInquiry(transport::SrbHostAdapterInquiry& srb) const {
    const std::uint8_t count = AdapterCountLocked();
    srb.adapterCount = count;
    if (srb.header.hostAdapter >= count) return srb.header.status = ts::kInvalidHostAdapter;
    srb.adapterTargetId = kAdapterScsiId;
    CopyPadded(srb.managerId, sizeof srb.managerId, kManagerId);
    CopyPadded(srb.adapterId, sizeof srb.adapterId, "VIRTUAL " + std::to_string(srb.header.hostAdapter));
    std::memset(srb.adapterUnique, 0, sizeof srb.adapterUnique);
    transport::ByteWriter w(srb.adapterUnique);
    w.PutLe16(adapterunique::kAlignmentMask, kAlignmentMask);
    w.PutU8(adapterunique::kFlags, 0);
    w.PutU8(adapterunique::kMaxTargets, kMaxTargets);
    w.PutLe32(adapterunique::kMaxTransferLength, kMaxTransferLength);
    std::memset(srb.reserved, 0, sizeof srb.reserved);
    return srb.header.status = ts::kComplete;
}

std::uint8_t VirtualRecorder::Impl::GetDeviceType(transport::SrbGetDeviceType& srb) const {
    if (srb.header.hostAdapter >= AdapterCountLocked()) {
        srb.deviceType = kNoDeviceType;
        return srb.header.status = ts::kInvalidHostAdapter;
    }
    const VirtualDrive* drive = PresentLocked(srb.header.hostAdapter, srb.target, srb.lun);
    if (!drive) {
        srb.deviceType = kNoDeviceType;
        return srb.header.status = ts::kNoDevice;
    }
    srb.deviceType = static_cast<std::uint8_t>(drive->Identity().peripheralType & 0x1F);
    return srb.header.status = ts::kComplete;
}

std::uint8_t VirtualRecorder::Impl::Execute(transport::SrbExecuteScsi& srb) {
    // A request sent again while a fault still held it is a new request: a later abort must not
    // write over its answer.
    ForgetPendingLocked(&srb);
    srb.header.status = ts::kPending;
    if (srb.header.hostAdapter >= AdapterCountLocked()) return srb.header.status = ts::kInvalidHostAdapter;
    VirtualDrive* drive = PresentLocked(srb.header.hostAdapter, srb.target, srb.lun);
    if (!drive) return srb.header.status = ts::kNoDevice;
    const std::uint8_t status = drive->ExecuteLocked(srb);
    if (status == ts::kPending) pending.push_back(&srb);
    return status;
}

std::uint8_t VirtualRecorder::Impl::Abort(transport::SrbAbort& srb) {
    const auto it = std::find(pending.begin(), pending.end(), srb.srbToAbort);
    if (it == pending.end()) return srb.header.status = ts::kAbortFailed;
    pending.erase(it);
    // The waiting side closed its completion event before it asked for the abort, so only the
    // status is written; the event is never signalled.
    static_cast<transport::SrbHeader*>(srb.srbToAbort)->status = ts::kAborted;
    return srb.header.status = ts::kComplete;
}

VirtualRecorder::VirtualRecorder(transport::Clock& clock) : m_impl(std::make_unique<Impl>(clock)) {}

VirtualRecorder::~VirtualRecorder() {
    VirtualRecorder* self = this;
    g_installed.compare_exchange_strong(self, nullptr); // the entry points must not reach a dead recorder
}

VirtualDrive& VirtualRecorder::AddDrive(const DriveIdentity& identity, const std::filesystem::path& discFile,
                                        std::uint8_t adapter, std::optional<std::uint8_t> target) {
    std::scoped_lock lock(m_impl->lock);
    std::uint8_t chosen = 0;
    if (target) {
        if (m_impl->FindLocked(adapter, *target, 0))
            throw std::invalid_argument("virtual recorder: target already in use");
        chosen = *target;
    } else {
        while (m_impl->FindLocked(adapter, chosen, 0)) {
            if (chosen == 0xFF) throw std::invalid_argument("virtual recorder: no free target");
            ++chosen;
        }
    }
    m_impl->drives.push_back(
        std::make_unique<VirtualDrive>(m_impl->lock, m_impl->clock, identity, discFile, adapter, chosen));
    return *m_impl->drives.back();
}

VirtualDrive* VirtualRecorder::FindDrive(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
    std::scoped_lock lock(m_impl->lock);
    return m_impl->FindLocked(adapter, target, lun);
}

std::size_t VirtualRecorder::DriveCount() const {
    std::scoped_lock lock(m_impl->lock);
    return m_impl->drives.size();
}

std::uint8_t VirtualRecorder::AdapterCount() const {
    std::scoped_lock lock(m_impl->lock);
    return m_impl->AdapterCountLocked();
}

std::size_t VirtualRecorder::PendingCount() const {
    std::scoped_lock lock(m_impl->lock);
    return m_impl->pending.size();
}

std::uint32_t VirtualRecorder::GetSupportInfo() {
    const std::uint8_t count = AdapterCount();
    if (count == 0) return std::uint32_t{ts::kNoAdapters} << 8;
    return std::uint32_t{ts::kComplete} << 8 | count;
}

std::uint32_t VirtualRecorder::SendCommand(void* srb) {
    if (srb == nullptr) return ts::kError;
    auto* header = static_cast<transport::SrbHeader*>(srb);
    std::scoped_lock lock(m_impl->lock);
    switch (header->command) {
    case transport::srbcmd::kHostAdapterInquiry:
        return m_impl->HostAdapterInquiry(*static_cast<transport::SrbHostAdapterInquiry*>(srb));
    case transport::srbcmd::kGetDeviceType:
        return m_impl->GetDeviceType(*static_cast<transport::SrbGetDeviceType*>(srb));
    case transport::srbcmd::kExecuteScsi:
        return m_impl->Execute(*static_cast<transport::SrbExecuteScsi*>(srb));
    case transport::srbcmd::kAbort: return m_impl->Abort(*static_cast<transport::SrbAbort*>(srb));
    case transport::srbcmd::kGetDiskInfo:
        return header->status = ts::kPending; // not answered: the caller falls back to what it knows
    default: return header->status = ts::kInvalidRequest;
    }
}

void VirtualRecorder::Install(VirtualRecorder* recorder) {
    g_installed.store(recorder);
}

VirtualRecorder* VirtualRecorder::Installed() {
    return g_installed.load();
}

transport::ProviderEntryPoints VirtualRecorder::EntryPoints() {
    return {.getSupportInfo = &InstalledGetSupportInfo, .sendCommand = &InstalledSendCommand};
}

} // namespace lorvane::recorder
