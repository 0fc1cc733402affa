#include "support/PgCluster.h"

#include "platform/Socket.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The newest server of the postgresql package.
fs::path ServerBin()
{
    fs::path best;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        fs::path bin = entry.path() / "bin";
        if (fs::exists(bin / "initdb") && (best.empty() || bin > best))
            best = bin;
    }
    return best;
}

// A loopback port nobody listens on, from a stretch of this process's own below the
// web tests' ports: a cluster stopped for a while gets its port back, as no other test
// process picks from the same stretch (unless their ids meet modulo 500).
int FreePort()
{
    static std::atomic<unsigned> s_nNext {0};
    const unsigned nBase = 15000 + static_cast<unsigned>(::getpid()) % 500 * 10;
    for (int i = 0; i < 10; ++i) {
        const auto nPort = static_cast<std::uint16_t>(nBase + s_nNext++ % 10);
        if (CSocket::ListenTcp("127.0.0.1", nPort).IsValid())
            return nPort;
    }
    return CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
}

std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

CPgCluster::CPgCluster()
{
    char templ[] = "/tmp/zelpg-XXXXXX";
    if (::mkdtemp(templ))
        m_dir = templ;
}

CPgCluster::~CPgCluster()
{
    Stop();
    std::error_code ec;
    if (!m_dir.empty())
        fs::remove_all(m_dir, ec);
}

CPgCluster& CPgCluster::Shared()
{
    static CPgCluster s_cluster;
    return s_cluster;
}

int CPgCluster::x_Run(const std::string& command, std::string* pOutput)
{
    // From /: the server's user may not enter the test's working directory.
    std::string line = ::geteuid() == 0 ? "runuser -u postgres -- sh -c " + Quoted("cd / && " + command) : command;
    FILE* pipe = ::popen((line + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    std::string output;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0)
        output.append(buf, n);
    int nStatus = ::pclose(pipe);
    if (pOutput)
        *pOutput = output;
    if (nStatus != 0)
        m_strWhy = command + ": " + output;
    return nStatus;
}

bool CPgCluster::Start()
{
    if (m_bRunning)
        return true;
    const fs::path bin = ServerBin();
    if (bin.empty() || m_dir.empty()) {
        m_strWhy = "no PostgreSQL server under /usr/lib/postgresql (package postgresql)";
        return false;
    }
    if (!m_bMade) {
        if (::geteuid() == 0 && std::system(("chown postgres " + Quoted(m_dir.string())).c_str()) != 0) {
            m_strWhy = "cannot hand " + m_dir.string() + " to the postgres user";
            return false;
        }
        if (x_Run(Quoted((bin / "initdb").string()) + " -D " + Quoted((m_dir / "data").string()) +
                  " -U zel --auth=trust -E UTF8 --no-locale") != 0)
            return false;
        m_bMade = true;
    }
    // The same port after a Stop: a client's connection string stays right.
    if (m_nPort == 0)
        m_nPort = FreePort();
    const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(m_nPort) + " -k " +
                                m_dir.string() + " -c fsync=off";
    if (x_Run(Quoted((bin / "pg_ctl").string()) + " -D " + Quoted((m_dir / "data").string()) + " -o " +
              Quoted(options) + " -l " + Quoted((m_dir / "server.log").string()) + " -w -t 60 start") != 0)
        return false;
    m_bRunning = true;
    return true;
}

bool CPgCluster::Stop()
{
    if (!m_bRunning)
        return true;
    m_bRunning = false;
    return x_Run(Quoted((ServerBin() / "pg_ctl").string()) + " -D " + Quoted((m_dir / "data").string()) +
                 " -m fast -w -t 60 stop") == 0;
}

std::string CPgCluster::ConnInfo(const std::string& name) const
{
    return "host=127.0.0.1 port=" + std::to_string(m_nPort) + " user=zel dbname=" + (name.empty() ? "postgres" : name) +
           " connect_timeout=30";
}

bool CPgCluster::CreateDatabase(const std::string& name)
{
    return x_Run("psql " + Quoted(ConnInfo()) + " -v ON_ERROR_STOP=1 -qc " + Quoted("CREATE DATABASE " + name)) == 0;
}

std::string CPgCluster::Query(const std::string& name, const std::string& sql)
{
    m_strWhy.clear();
    std::string output;
    if (x_Run("psql " + Quoted(ConnInfo(name)) + " -v ON_ERROR_STOP=1 -XAtqc " + Quoted(sql), &output) != 0)
        return {};
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}
