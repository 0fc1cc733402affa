#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

// Runs a test inside its own fresh temporary directory, which becomes the working
// directory (the program writes log.txt and QorConfig.xml there) and is removed after.
// The test binary runs all its tests in one process: SetUp and TearDown also put the
// process-wide objects (log, settings, timings, counters, registry, servers, history)
// back as a fresh process has them.
class Sandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& Dir() const { return m_dir; }
    static std::string ReadFile(const std::filesystem::path& path);
    static void WriteFile(const std::filesystem::path& path, const std::string& text);

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_oldCwd;
    std::optional<std::string> m_oldTz;
};
