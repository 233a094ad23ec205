#pragma once
// Helpers shared by the recorder tests: a scratch folder for disc files and request blocks built by
// hand, field by field, the way a host fills them.

#include "transport/srb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>

namespace lorvane::recorder::testsupport {

// A folder of its own for each test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        m_path = std::filesystem::path(::testing::TempDir()) /
                 ("lorvane-recorder-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::filesystem::path File(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

inline transport::SrbExecuteScsi MakeExecute(std::uint8_t adapter, std::uint8_t target,
                                             std::initializer_list<std::uint8_t> cdb, std::uint8_t flags,
                                             std::uint8_t* data = nullptr, std::uint32_t dataLength = 0,
                                             std::uint8_t senseLength = transport::kSenseLengthAsked) {
    transport::SrbExecuteScsi srb;
    std::memset(&srb, 0, sizeof srb);
    srb.header.command = transport::srbcmd::kExecuteScsi;
    srb.header.hostAdapter = adapter;
    srb.header.flags = flags;
    srb.target = target;
    srb.dataLength = dataLength;
    srb.dataBuffer = data;
    srb.senseLength = senseLength;
    srb.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::size_t i = 0;
    for (std::uint8_t b : cdb) srb.cdb[i++] = b;
    return srb;
}

} // namespace lorvane::recorder::testsupport
