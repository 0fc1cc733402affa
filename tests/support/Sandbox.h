#pragma once

#include "server/DepotServer.h"
#include "shell/ServerControl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>


// Runs a test inside its own fresh temporary directory, which becomes the working
// directory (the program writes log.txt and QorConfig.xml there) and is removed after.
// Each test gets its own server control (Control()), built in SetUp and destroyed in
// TearDown with every server it started. TearDown also puts the few process-wide
// things (log, timings, TZ, injected faults) back as a fresh process has them.
class Sandbox : public ::testing::Test {
protected:
    Sandbox();
    ~Sandbox() override;

    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& Dir() const { return m_dir; }
    // This test's server control; its record index lives in Dir().
    CServerControl& Control();
    // The running server; fails the test when none runs.
    CDepotServer& Server();

    // A server of the test's own on pConfig (its port as given, 0 for any) with its
    // control channel bound, posting to center; setup's hooks are kept. Destroy it
    // before TearDown.
    std::unique_ptr<CDepotServer> BindOwnServer(ServerConfigPtr pConfig, CNotifyCenter& center,
                                                CDepotServer::Setup setup = {});

    static std::string ReadFile(const std::filesystem::path& path);
    static void WriteFile(const std::filesystem::path& path, const std::string& text);

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_oldCwd;
    std::optional<std::string> m_oldTz;
    std::unique_ptr<CServerControl> m_pControl;
};
