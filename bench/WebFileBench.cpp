// Serving a large file from the dashboard: what a client receives per second over
// HTTP (sendfile) and over HTTPS (the kernel's TLS where it can, else read and
// encrypted here), against reading the same file from the page cache.
//
//   WebFileBench [--size-mib N] [--rounds N]
//
// The server runs in this process with one route answering the file; each client
// reads into a buffer it drops. Printed: MB/s (10^6 bytes) of each, the best of the
// rounds.

#include "bench/support/BenchOptions.h"
#include "core/Logger.h"
#include "platform/File.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "web/WebRange.h"
#include "web/WebServer.h"

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

double MegabytesPerSecond(std::uint64_t nBytes, std::int64_t nStartMs)
{
    const double dSeconds = std::max<std::int64_t>(1, MonotonicMs() - nStartMs) / 1000.0;
    return static_cast<double>(nBytes) / 1e6 / dSeconds;
}

double ReadFromCache(const std::string& path, std::uint64_t nSize)
{
    CFile file;
    if (file.Open(path, CFile::Mode::Read) != 0)
        return 0;
    std::string chunk;
    const std::int64_t nStart = MonotonicMs();
    for (std::uint64_t nOff = 0; nOff < nSize; nOff += chunk.size()) {
        if (file.ReadAt(static_cast<std::int64_t>(nOff), 1 << 20, chunk) != 0 || chunk.empty())
            return 0;
    }
    return MegabytesPerSecond(nSize, nStart);
}

double GetPlain(std::uint16_t nPort, std::uint64_t nSize)
{
    CSocket sock = CSocket::ConnectTcp("127.0.0.1", nPort, 2000);
    const std::string request = "GET /file HTTP/1.1\r\nConnection: close\r\n\r\n";
    const std::int64_t nStart = MonotonicMs();
    if (!sock.SendAll(request.data(), request.size()))
        return 0;
    std::string buf(1 << 20, '\0');
    std::uint64_t nGot = 0;
    while (sock.WaitReadable(5000) > 0) {
        ssize_t n = sock.Recv(buf.data(), buf.size());
        if (n <= 0)
            break;
        nGot += static_cast<std::uint64_t>(n);
    }
    return nGot >= nSize ? MegabytesPerSecond(nGot, nStart) : 0;
}

double GetTls(std::uint16_t nPort, std::uint64_t nSize)
{
    httplib::SSLClient client("127.0.0.1", nPort);
    client.enable_server_certificate_verification(false);
    std::uint64_t nGot = 0;
    const std::int64_t nStart = MonotonicMs();
    auto res = client.Get("/file", [&](const char*, std::size_t n) {
        nGot += n;
        return true;
    });
    return res && nGot == nSize ? MegabytesPerSecond(nGot, nStart) : 0;
}

CWebApi::Config FileRoute(const std::string& path, std::uint64_t nSize)
{
    auto pFile = std::make_shared<CFile>();
    if (pFile->Open(path, CFile::Mode::Read) != 0)
        std::exit(1);
    CWebApi::Config config;
    std::shared_ptr<const CFile> pShared = pFile;
    config.routes.push_back({"GET", "/file", WebRole::Status, [pShared, nSize](const WebRequest& req) {
                                 return FileAnswer(req, pShared, nSize, "application/octet-stream");
                             }});
    return config;
}

template <class Get>
double Best(int nRounds, Get get)
{
    double dBest = 0;
    for (int i = 0; i < nRounds; ++i)
        dBest = std::max(dBest, get());
    return dBest;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned nSizeMiB = 256;
    int nRounds = 3;
    CBenchOptions options;
    options.Add("--size-mib", &nSizeMiB).Add("--rounds", &nRounds);
    if (!options.Parse(argc, argv))
        return 2;
    const fs::path dir = fs::temp_directory_path() / ("WebFileBench." + std::to_string(::getpid()));
    fs::create_directories(dir);
    CLogger::SetStartPath((dir / "log.txt").string());
    const std::uint64_t nSize = static_cast<std::uint64_t>(nSizeMiB) << 20;
    const std::string path = (dir / "file.bin").string();
    {
        std::string data(nSize, '\0');
        std::mt19937_64 random(1);
        for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
            const std::uint64_t nValue = random();
            std::memcpy(data.data() + i, &nValue, 8);
        }
        CFile file;
        if (file.Open(path, CFile::Mode::Truncate) != 0 || file.WriteAll(data.data(), data.size()) != 0)
            return 1;
    }
    ReadFromCache(path, nSize);  // into the page cache
    std::printf("file %u MiB, best of %d\n", nSizeMiB, nRounds);
    std::printf("page cache read     %8.0f MB/s\n", Best(nRounds, [&] { return ReadFromCache(path, nSize); }));

    WebSettings settings;
    settings.nPort = CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
    CWebServer server;
    if (server.Start(settings, FileRoute(path, nSize)) != 0)
        return 1;
    std::printf("HTTP  (sendfile)    %8.0f MB/s\n", Best(nRounds, [&] { return GetPlain(settings.nPort, nSize); }));
    server.Stop();

    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + key + "' -out '" + cert +
                                "' -days 2 -subj /CN=localhost >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
        settings.strCert = cert;
        settings.strKey = key;
        if (server.Start(settings, FileRoute(path, nSize)) != 0)
            return 1;
        const double dTls = Best(nRounds, [&] { return GetTls(settings.nPort, nSize); });
        std::printf("HTTPS (%s) %8.0f MB/s\n",
                    server.KernelTlsConnections() > 0 ? "kernel TLS" : "user TLS  ", dTls);
        server.Stop();
    }
    fs::remove_all(dir);
    return 0;
}
