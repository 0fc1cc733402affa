#pragma once

#include "server/DepotServer.h"
#include "settings/SettingsFile.h"
#include "shell/ServerControl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>


// Gives a test its own fresh temporary directory, removed after: the log (log.txt),
// the settings file, the fleet history and the record index live there, and a
// relative download directory is taken inside it. The working directory is left
// alone, so a test names its files under Dir(). Each test gets its own server
// control (Control()), whose home is Dir(), destroyed in TearDown with every server
// it started. TearDown also puts the few process-wide
// things (log, timings, TZ, injected faults) back as a fresh process has them.
class Sandbox : public ::testing::Test {
protected:
    Sandbox();
    ~Sandbox() override;

    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& Dir() const { return m_dir; }
    // The path of name inside Dir().
    std::string At(const std::string& name) const { return (m_dir / name).string(); }
    // This test's server control; its home is Dir().
    CServerControl& Control();
    // The settings file the control reads at Start (Dir()/QorConfig.xml), made on the
    // first call as the program makes its own.
    CSettingsFile& Settings();
    // The running server; fails the test when none runs.
    CDepotServer& Server();

    // A server of the test's own on pConfig (its port as given, 0 for any; a relative
    // download directory taken inside Dir()) with its control channel bound, posting
    // to center; setup's hooks are kept. Destroy it before TearDown.
    std::unique_ptr<CDepotServer> BindOwnServer(ServerConfigPtr pConfig, CNotifyCenter& center,
                                                CDepotServer::Setup setup = {});

    static std::string ReadFile(const std::filesystem::path& path);
    static void WriteFile(const std::filesystem::path& path, const std::string& text);

private:
    std::filesystem::path m_dir;
    std::optional<std::string> m_oldTz;
    std::unique_ptr<CServerControl> m_pControl;
    std::unique_ptr<CSettingsFile> m_pSettings;
};
