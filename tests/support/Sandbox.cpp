#include "Sandbox.h"

#include "LogFile.h"
#include "control/LogThrottle.h"
#include "core/Logger.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/Settings.h"
#include "shell/ServerControl.h"
#include "web/LogRing.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void SetTz(const std::optional<std::string>& tz)
{
    if (tz)
        ::setenv("TZ", tz->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace

// The directory and the control exist from construction on, so that a fixture's
// members may be built on them.
Sandbox::Sandbox()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("no temporary directory");
    m_dir = tmpl;
    // Whatever first makes the process-wide logger makes it here, not in the working
    // directory.
    CLogger::SetStartPath((m_dir / "log.txt").string());
    m_pControl = std::make_unique<CServerControl>(m_dir);
}

// The control goes last: a fixture's own servers, destroyed before, use its history.
Sandbox::~Sandbox() = default;

void Sandbox::SetUp()
{
    if (const char* szTz = std::getenv("TZ"))
        m_oldTz = szTz;
    CLogger::Instance().Reset((m_dir / "log.txt").string());
    SetLogFilePath(m_dir / "log.txt");
}

CServerControl& Sandbox::Control()
{
    if (!m_pControl)
        throw std::logic_error("no control");
    return *m_pControl;
}

CSettingsFile& Sandbox::Settings()
{
    if (!m_pSettings)
        m_pSettings = std::make_unique<CSettingsFile>(Control().SettingsPath().string());
    return *m_pSettings;
}

CDepotServer& Sandbox::Server()
{
    std::shared_ptr<CDepotServer> pServer = Control().Server();
    if (!pServer)
        throw std::logic_error("no server runs");
    return *pServer;
}

std::unique_ptr<CDepotServer> Sandbox::BindOwnServer(ServerConfigPtr pConfig, CNotifyCenter& center,
                                                     CDepotServer::Setup setup)
{
    // A relative download directory is taken inside Dir(), as the control takes it.
    if (std::filesystem::path(pConfig->settings.szDownDir).is_relative()) {
        auto pInDir = std::make_shared<ServerConfig>(*pConfig);
        CopyField(pInDir->settings.szDownDir, sizeof(pInDir->settings.szDownDir), At(pConfig->settings.szDownDir));
        pConfig = std::move(pInDir);
    }
    setup.pConfig = std::move(pConfig);
    setup.pIndex = &Control().Index();
    auto pServer = std::make_unique<CDepotServer>(std::move(setup), center, Control().History(), CLogRing::Instance());
    if (pServer->BindControl() != 0)
        throw std::runtime_error("the control channel cannot be bound");
    return pServer;
}

// Values are put back when the test is over, not in SetUp: a fixture may set some
// before it calls SetUp, for the threads its SetUp starts.
void Sandbox::TearDown()
{
    // Every thread of the test's server ends here.
    Control().Stop();
    Control().ReleaseStopped();  // one whose disk check stopped it may still end
    Control().History().Close();
    ResetTiming();
    CLogThrottle::ForgetAll();
    InjectSyncFault(SyncFault::Data, 0, 0);
    InjectSyncFault(SyncFault::Directory, 0, 0);
    // tzset races with the notification thread's clock reads: only when a test moved TZ.
    const char* szTz = std::getenv("TZ");
    if ((szTz == nullptr) != !m_oldTz || (szTz && *m_oldTz != szTz))
        SetTz(m_oldTz);
    SetLogFilePath({});
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string Sandbox::ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Sandbox::WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
