// Helpers shared by the log tests: a private temporary directory per test,
// whole-file reads and timestamp masking.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>

#include "platform_testing/fault_injection.h"
#include "vx_log.h"

namespace vxlog_test {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Replaces every "[YYYY-MM-DD hh:mm:ss:mmmm]" with "[TS]" so that whole files
// compare byte for byte apart from the clock.
inline std::string MaskTimestamps(const std::string& text) {
    static const std::regex kStamp(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{4}\])");
    return std::regex_replace(text, kStamp, "[TS]");
}

// A log whose relative names land in a fresh temporary directory, removed
// again after the test. Faults armed by a test are cleared.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() /
               ("vxlog-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(dir_);
        log_ = new CVxLog();
        ASSERT_TRUE(log_->SetOption(LOG_OPT_DIRECTORY, LOG_DIR_EXPLICIT,
                                    reinterpret_cast<DWORD_PTR>(dir_.wstring().c_str())));
    }
    void TearDown() override {
        platform::ClearFaults();
        if (log_ != nullptr)
            log_->Release();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Opens a relative name in the test directory with the given flags.
    bool OpenNamed(const wchar_t* name, DWORD flags) { return log_->Open(name, flags) != FALSE; }
    std::string Text(const char* file) const { return ReadAll(dir_ / file); }

    fs::path dir_;
    IVxLog* log_ = nullptr;
};

}  // namespace vxlog_test
