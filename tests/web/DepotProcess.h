#pragma once

#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "support/ServerProcess.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "web/WebTestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// zeldownloadd as a process in a directory of its own, with the settings file it
// reads: a free control port, the store in "store", a free dashboard port, and what
// the test adds. Killed when it still runs as the object goes. Test thread.
class DepotProcess {
public:
    using Keys = std::vector<std::pair<std::string, std::string>>;

    // Writes dir/QorConfig.xml (adjust, called once the ports are chosen, changes the
    // settings or writes keys of its own; keys are written last) and starts the
    // program; standard error goes to dir/stderr.txt.
    void Start(const std::filesystem::path& dir, const Keys& keys = {},
               const std::function<void(ServerSettings&, CSettingsFile&)>& adjust = {})
    {
        m_dir = dir;
        std::filesystem::create_directories(dir);
        CSettingsFile file((dir / "QorConfig.xml").string());
        ServerSettings settings = DefaultSettings();
        m_nControlPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
        m_nWebPort = FreeTcpPort();
        settings.nPort = m_nControlPort;
        std::strcpy(settings.szDownDir, "store");
        if (adjust)
            adjust(settings, file);
        ASSERT_TRUE(SaveSettings(settings, file));
        ASSERT_TRUE(file.WriteValue("httpport", std::to_string(m_nWebPort)));
        for (const auto& [key, value] : keys)
            ASSERT_TRUE(file.WriteValue(key.c_str(), value)) << key;
        Restart();
    }

    // Starts the program again on the settings written before.
    void Restart()
    {
        ServerProcess::Launch launch;
        launch.dir = m_dir;
        launch.out = "/dev/null";
        launch.err = "stderr.txt";
        ASSERT_TRUE(m_server.Start(launch));
    }
    void Stop(int nSignal) { m_server.Stop(nSignal); }

    const std::filesystem::path& Dir() const { return m_dir; }
    std::uint16_t ControlPort() const { return m_nControlPort; }
    std::uint16_t WebPort() const { return m_nWebPort; }

    // Simulated recorders of names sending to this depot: nRecordings of nBytes per
    // channel, five minutes each from tStart.
    SimOptions Recorders(std::vector<std::string> names, int nChannels, int nRecordings, std::uint32_t nBytes,
                         std::uint32_t tStart) const
    {
        SimOptions options;
        options.nServerPort = m_nControlPort;
        options.vecNames = std::move(names);
        options.nChannels = nChannels;
        options.nRecordings = nRecordings;
        options.nRecBytes = nBytes;
        options.nRecSeconds = 300;
        options.tStart = tStart;
        options.nKeepAliveMs = 300;
        options.nVerbosity = 0;
        return options;
    }

    // The answer to GET path, parsed; null unless it is 200 (pStatus: its status, or -1).
    nlohmann::json Get(const std::string& path, int* pStatus = nullptr) const
    {
        httplib::Client client("127.0.0.1", m_nWebPort);
        client.set_read_timeout(20, 0);
        auto res = client.Get(path);
        if (pStatus)
            *pStatus = res ? res->status : -1;
        return res && res->status == 200 ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
    }
    nlohmann::json Post(const std::string& path, const nlohmann::json& body) const
    {
        httplib::Client client("127.0.0.1", m_nWebPort);
        auto res = client.Post(path, body.dump(), "application/json");
        return res ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
    }

    // The dashboard (at #fragment when given) after its script ran for nBudgetMs of
    // virtual time, as headless Chromium holds it.
    std::string RenderedPage(const std::string& fragment = {}, int nBudgetMs = 4000) const
    {
        std::string dom;
        int nExit = RunCommand("timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir=" +
                                   (m_dir / "chromium").string() + " --virtual-time-budget=" +
                                   std::to_string(nBudgetMs) + " --dump-dom 'http://127.0.0.1:" +
                                   std::to_string(m_nWebPort) + "/" + (fragment.empty() ? "" : "#" + fragment) +
                                   "' 2>/dev/null",
                               &dom);
        EXPECT_EQ(nExit, 0);
        return dom;
    }

private:
    std::filesystem::path m_dir;
    std::uint16_t m_nControlPort = 0;
    std::uint16_t m_nWebPort = 0;
    ServerProcess m_server;
};
