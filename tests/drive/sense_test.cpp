#include "drive/sense.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace lorvane::drive {
namespace {

SenseArea Fixed(std::uint8_t response, std::uint8_t keyByte, std::uint8_t asc = 0, std::uint8_t ascq = 0) {
    SenseArea sense{};
    sense[0] = response;
    sense[2] = keyByte;
    sense[7] = 0x0A;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

TEST(StatusText, NamesEveryStatusAndHostTargetCombination) {
    constexpr struct {
        std::uint8_t status, host, target;
        const char* text;
    } kCases[] = {
        {0x00, 0x09, 0x02, ""},
        {0x01, 0x11, 0x08, ""},
        {0x02, 0x00, 0x00, "OPERATION ABORTED BY USER"},
        {0x03, 0x12, 0x02, "OPERATION ABORTED BY USER"},
        {0x04, 0x00, 0x00, "CHECK CONDITION"},
        {0x04, 0x00, 0x02, "CHECK CONDITION"},
        {0x04, 0x00, 0x08, "TARGET BUSY"},
        {0x04, 0x00, 0x18, "TARGET RESERVATION CONFLICT"},
        {0x04, 0x00, 0x28, "TARGET QUEUE FULL"},
        {0x04, 0x00, 0x04, "UNKNOWN"},
        {0x04, 0x09, 0x02, "COMMAND TIMEOUT"},
        {0x04, 0x0B, 0x00, "SRB TIMEOUT"},
        {0x04, 0x0D, 0x00, "MESSAGE REJECT"},
        {0x04, 0x0E, 0x00, "BUS RESET"},
        {0x04, 0x0F, 0x00, "PARITY ERROR"},
        {0x04, 0x10, 0x00, "REQUEST SENSE FAILED"},
        {0x04, 0x11, 0x00, "SELECTION TIMEOUT"},
        {0x04, 0x12, 0x00, "DATA OVERRUN"},
        {0x04, 0x13, 0x00, "UNEXPECTED BUS FREE"},
        {0x04, 0x01, 0x00, "UNKNOWN"},
        {0x04, 0x14, 0x00, "UNKNOWN"},
        {0x80, 0x00, 0x00, "INVALID REQUEST"},
        {0x81, 0x00, 0x00, "INVALID HOST ADAPTER"},
        {0x82, 0x00, 0x00, "NO DEVICE"},
        {0xE0, 0x00, 0x00, "INVALID SRB"},
        {0xE1, 0x00, 0x00, "BUFFER ALIGNMENT"},
        {0xE5, 0x00, 0x00, "ASPI IS BUSY"},
        {0xE6, 0x00, 0x00, "BUFFER TOO BIG"},
        {0xE2, 0x00, 0x00, "UNKNOWN"},
        {0x05, 0x00, 0x00, "UNKNOWN"},
    };
    for (const auto& [status, host, target, text] : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << +status << "/" << +host << "/" << +target);
        EXPECT_EQ(StatusText(status, host, target), text);
    }
}

TEST(SenseKeyText, DecodesFixedFormatKeysAndTheFlagsOfKeyZero) {
    const struct {
        SenseArea sense;
        const char* text;
    } kCases[] = {
        {Fixed(0x00, 0x05), ""},
        {Fixed(0x70, 0x80), "FILEMARK"},
        {Fixed(0x70, 0xC0), "FILEMARK"},
        {Fixed(0x70, 0x40), "END OF MEDIA"},
        {Fixed(0x71, 0x60), "END OF MEDIA"},
        {Fixed(0x70, 0x20), "ILLEGAL LENGTH"},
        {Fixed(0x70, 0x00), "NO ADDITIONAL SENSE INFORMATION"},
        {Fixed(0xF0, 0x01), "RECOVERED ERROR"},
        {Fixed(0x70, 0x02), "NOT READY"},
        {Fixed(0x71, 0x03), "MEDIUM ERROR"},
        {Fixed(0x70, 0x04), "HARDWARE ERROR"},
        {Fixed(0x70, 0x05), "ILLEGAL REQUEST"},
        {Fixed(0x70, 0x06), "UNIT ATTENTION"},
        {Fixed(0x70, 0x07), "DATA PROTECT"},
        {Fixed(0x70, 0x08), "ERASE CHECK"},
        {Fixed(0x70, 0x09), "CHECK CONDITION"},
        {Fixed(0x70, 0x0A), "COPYABORTED"},
        {Fixed(0x70, 0x0B), "ABORTED COMMAND"},
        {Fixed(0x70, 0x0C), "CHECK CONDITION"},
        {Fixed(0x70, 0x0D), "VOLUME OVERFLOW"},
        {Fixed(0x70, 0x0E), "MISCOMPARE"},
        {Fixed(0x70, 0x0F), "RESERVED"},
        {Fixed(0x70, 0xF5), "ILLEGAL REQUEST"}, // key bits only, once a flag bit is set with a key
        {Fixed(0x72, 0x05), "UNKNOWN"},         // descriptor format
        {Fixed(0x7F, 0x05), "UNKNOWN"},
        {Fixed(0x01, 0x05), "UNKNOWN"},
    };
    for (const auto& [sense, text] : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << +sense[0] << "/" << +sense[2]);
        EXPECT_EQ(SenseKeyText(sense), text);
    }
}

TEST(SenseCodeText, GivesTheStandardDescriptionsAndTheShortenedOnes) {
    constexpr struct {
        std::uint8_t asc, ascq;
        const char* text;
    } kCases[] = {
        {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
        {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
        {0x0C, 0x09, "WRITE ERROR - LOSS OF STREAMING"},
        {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {0x24, 0x00, "INVALID FIELD IN CDB"},
        {0x30, 0x05, "CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT"},
        {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
        {0x5D, 0xFF, "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)"},
        {0x64, 0x00, "ILLEGAL MODE FOR THIS TRACK"},
        {0x72, 0x03, "SESSION FIXATION ERROR - INCOMPLETE TRACK IN SESSION"},
        {0x73, 0x03, "POWER CALIBRATION AREA ERROR"},
        {0x73, 0x06, "RMA/PMA IS ALMOST FULL"},
        {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING CMD. REQUIRED"},
        {0x18, 0x01, "RECOVERED DATA WITH ERROR CORR. & RETRIES APPLIED"},
        {0x08, 0x03, "LOGICAL UNIT COMMUNICATION CRC ERROR (ULTRA-DMA/32)"},
        {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
        {0x3A, 0x00, "MEDIUM NOT PRESENT"},
        {0x73, 0x07, "115,7"},
        {0x04, 0x05, "4,5"},
        {0xFF, 0xFF, "255,255"},
        {0x00, 0x01, "0,1"},
    };
    for (const auto& [asc, ascq, text] : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << +asc << "/" << +ascq);
        EXPECT_EQ(SenseCodeText(asc, ascq), text);
    }
}

// The table holds exactly these keys, and every text is upper case.
TEST(SenseCodeText, TableHoldsExactlyTheListedCodes) {
    const std::vector<std::pair<int, std::vector<std::pair<int, int>>>> kKeys = {
        {0x00, {{0x00, 0x00}, {0x06, 0x06}, {0x11, 0x17}}},
        {0x02, {{0x00, 0x00}}},
        {0x04, {{0x00, 0x04}, {0x07, 0x09}}},
        {0x05, {{0x00, 0x00}}},
        {0x06, {{0x00, 0x00}}},
        {0x07, {{0x00, 0x00}}},
        {0x08, {{0x00, 0x04}}},
        {0x09, {{0x00, 0x04}}},
        {0x0A, {{0x00, 0x00}}},
        {0x0B, {{0x00, 0x02}}},
        {0x0C, {{0x00, 0x00}, {0x07, 0x0A}}},
        {0x0D, {{0x00, 0x05}}},
        {0x11, {{0x00, 0x02}, {0x05, 0x06}, {0x0D, 0x11}}},
        {0x14, {{0x00, 0x01}}},
        {0x15, {{0x00, 0x02}}},
        {0x17, {{0x00, 0x05}, {0x07, 0x09}}},
        {0x18, {{0x00, 0x06}, {0x08, 0x08}}},
        {0x1A, {{0x00, 0x00}}},
        {0x1B, {{0x00, 0x00}}},
        {0x1D, {{0x00, 0x00}}},
        {0x20, {{0x00, 0x00}}},
        {0x21, {{0x00, 0x02}}},
        {0x24, {{0x00, 0x01}}},
        {0x25, {{0x00, 0x00}}},
        {0x26, {{0x00, 0x0D}}},
        {0x27, {{0x00, 0x06}}},
        {0x28, {{0x00, 0x01}}},
        {0x29, {{0x00, 0x06}}},
        {0x2A, {{0x00, 0x05}}},
        {0x2B, {{0x00, 0x00}}},
        {0x2C, {{0x00, 0x00}, {0x03, 0x04}, {0x06, 0x06}}},
        {0x2E, {{0x00, 0x00}}},
        {0x2F, {{0x00, 0x00}}},
        {0x30, {{0x00, 0x09}, {0x10, 0x10}}},
        {0x31, {{0x00, 0x02}}},
        {0x34, {{0x00, 0x00}}},
        {0x35, {{0x00, 0x04}}},
        {0x37, {{0x00, 0x00}}},
        {0x39, {{0x00, 0x00}}},
        {0x3A, {{0x00, 0x04}}},
        {0x3B, {{0x0D, 0x0F}, {0x11, 0x16}}},
        {0x3D, {{0x00, 0x00}}},
        {0x3E, {{0x00, 0x04}}},
        {0x3F, {{0x00, 0x11}}},
        {0x43, {{0x00, 0x00}}},
        {0x44, {{0x00, 0x00}}},
        {0x45, {{0x00, 0x00}}},
        {0x46, {{0x00, 0x00}}},
        {0x47, {{0x00, 0x04}}},
        {0x48, {{0x00, 0x00}}},
        {0x49, {{0x00, 0x00}}},
        {0x4A, {{0x00, 0x00}}},
        {0x4B, {{0x00, 0x00}}},
        {0x4C, {{0x00, 0x00}}},
        {0x4E, {{0x00, 0x00}}},
        {0x51, {{0x00, 0x01}}},
        {0x53, {{0x00, 0x00}, {0x02, 0x02}}},
        {0x55, {{0x02, 0x04}}},
        {0x57, {{0x00, 0x00}}},
        {0x5A, {{0x00, 0x03}}},
        {0x5B, {{0x00, 0x03}}},
        {0x5D, {{0x00, 0x03}, {0xFF, 0xFF}}},
        {0x5E, {{0x00, 0x04}}},
        {0x63, {{0x00, 0x01}}},
        {0x64, {{0x00, 0x01}}},
        {0x65, {{0x00, 0x00}}},
        {0x6F, {{0x00, 0x05}}},
        {0x72, {{0x00, 0x05}}},
        {0x73, {{0x00, 0x06}}},
    };
    std::set<std::pair<int, int>> expected;
    for (const auto& [asc, ranges] : kKeys)
        for (const auto& [first, last] : ranges)
            for (int ascq = first; ascq <= last; ++ascq) expected.insert({asc, ascq});

    std::set<std::pair<int, int>> actual;
    for (const SenseCode& row : SenseCodes()) {
        actual.insert({row.asc, row.ascq});
        SCOPED_TRACE(std::string(row.text));
        EXPECT_FALSE(row.text.empty());
        for (char c : row.text) EXPECT_FALSE(c >= 'a' && c <= 'z');
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(SenseCodes().size(), 256u);
}

TEST(DecodeFailure, CombinesStatusSenseKeyAndSenseCode) {
    const struct {
        std::uint8_t status, host, target;
        SenseArea sense;
        const char* text;
        bool busy;
    } kCases[] = {
        {0x04, 0x00, 0x02, Fixed(0x70, 0x03, 0x0C, 0x09), "MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)",
         false},
        {0x04, 0x00, 0x02, Fixed(0x70, 0x02, 0x3A, 0x00), "NOT READY (MEDIUM NOT PRESENT)", false},
        {0x04, 0x00, 0x02, Fixed(0x70, 0x05, 0x73, 0x07), "ILLEGAL REQUEST (115,7)", false},
        {0x04, 0x00, 0x02, Fixed(0x00, 0x05, 0x24, 0x00), "", false},
        {0x04, 0x00, 0x02, Fixed(0x72, 0x05, 0x24, 0x00), "UNKNOWN (INVALID FIELD IN CDB)", false},
        {0x04, 0x00, 0x08, Fixed(0x00, 0x00), "TARGET BUSY", true},
        {0x04, 0x00, 0x08, Fixed(0x70, 0x02, 0x04, 0x01),
         "TARGET BUSY (LOGICAL UNIT IS IN PROCESS OF BECOMING READY)", true},
        {0x04, 0x09, 0x08, Fixed(0x00, 0x00), "COMMAND TIMEOUT", false},
        {0x82, 0x00, 0x00, Fixed(0x00, 0x00), "NO DEVICE", false},
    };
    for (const auto& [status, host, target, sense, text, busy] : kCases) {
        SCOPED_TRACE(text);
        const DecodedFailure failure = DecodeFailure(status, host, target, sense);
        EXPECT_EQ(failure.text, text);
        EXPECT_EQ(failure.targetBusy, busy);
    }
}

} // namespace
} // namespace lorvane::drive
