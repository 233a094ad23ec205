#include "drive/command_names.h"

#include <gtest/gtest.h>

namespace lorvane::drive {
namespace {

TEST(CommandNames, NamedCodesAreTwentyTwoCharactersAndOthersTheirHexDigits) {
    constexpr struct {
        std::uint8_t code;
        const char* name;
    } kCases[] = {
        {0x00, "TEST UNIT READY       "},
        {0x1E, "PREVENT/ALLOW REMOVAL "},
        {0x23, "READ FORMAT CAPACITIES"},
        {0x2A, "WRITE (10)            "},
        {0x4A, "GET EVENT/STATUS NOTIF"},
        {0x52, "READ TRACK INFORMATION"},
        {0x5A, "MODE SENSE (10)       "},
        {0xA6, "LOAD/UNLOAD CD/DVD    "},
        {0xBF, "SEND DVD STRUCTURE    "},
        {0x02, "02"},
        {0x5E, "5E"},
        {0xD8, "D8"},
        {0xFF, "FF"},
    };
    for (const auto& [code, name] : kCases) {
        SCOPED_TRACE(::testing::Message() << "opcode " << std::hex << +code);
        EXPECT_EQ(CommandNames()[code], name);
    }
}

TEST(CommandNames, EveryEntryIsEitherAFullNameOrTwoUpperCaseHexDigits) {
    int named = 0;
    for (std::size_t code = 0; code < 256; ++code) {
        const std::string& name = CommandNames()[code];
        SCOPED_TRACE(code);
        if (name.size() == kCommandNameWidth) {
            ++named;
        } else {
            ASSERT_EQ(name.size(), 2u);
            for (char c : name) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        }
    }
    EXPECT_EQ(named, 51);
}

} // namespace
} // namespace lorvane::drive
