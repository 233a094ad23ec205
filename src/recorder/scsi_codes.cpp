#include "recorder/scsi_codes.h"

#include "recorder/virtual_recorder.h"
#include "transport/byte_order.h"

namespace lorvane::recorder {

std::vector<std::uint8_t> FixedSenseBytes(const SenseCode& code) {
    std::vector<std::uint8_t> bytes(fixedsense::kLength, 0);
    transport::ByteWriter w(bytes);
    w.PutU8(fixedsense::kResponseCode, fixedsense::kCurrentError);
    w.PutU8(fixedsense::kSenseKey, static_cast<std::uint8_t>(code.key & 0x0F));
    w.PutU8(fixedsense::kAdditionalLength, static_cast<std::uint8_t>(fixedsense::kLength - 8));
    w.PutU8(fixedsense::kAsc, code.asc);
    w.PutU8(fixedsense::kAscq, code.ascq);
    if (code.progress) {
        w.PutU8(fixedsense::kSenseKeySpecific, fixedsense::kSksv);
        w.PutBe16(fixedsense::kProgress, *code.progress);
    }
    return bytes;
}

std::vector<std::uint8_t> FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return FixedSenseBytes(MakeSense(key, asc, ascq));
}

} // namespace lorvane::recorder
