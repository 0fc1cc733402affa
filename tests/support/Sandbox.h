#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// Runs a test inside its own fresh temporary directory, which becomes the working
// directory (the program writes log.txt and QorConfig.xml there) and is removed after.
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
};
