// The dispatcher with a footage limit: file bytes go out no faster than it allows,
// shared fairly between the clients taking files, while short answers pass them; and
// the setting that sets it.
#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/SettingsFile.h"
#include "support/Sandbox.h"
#include "web/WebBody.h"
#include "web/WebConnection.h"
#include "web/WebDispatcher.h"
#include "web/WebSettings.h"

#include <atomic>
#include <thread>

namespace {

constexpr std::uint64_t kRate = 2000000;  // bytes per second
constexpr std::size_t kFileBytes = 2000000;

class WebDispatcherTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        m_file.resize(kFileBytes);
        for (std::size_t k = 0; k < m_file.size(); ++k)
            m_file[k] = static_cast<char>((k * 13 + k / 1013) & 0xFF);
        WriteFile(Dir() / "file", m_file);
        m_listener = CSocket::ListenTcp("127.0.0.1", 0);
        ASSERT_TRUE(m_listener.IsValid());
    }
    void TearDown() override
    {
        m_dispatcher.Stop();
        Sandbox::TearDown();
    }

    // Answers GET /file with the file, anything else with "pong". Workers.
    bool Serve(CWebConnection& conn)
    {
        std::string head;
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos && conn.read(&c, 1) == 1)
            head += c;
        if (head.rfind("GET /file ", 0) == 0) {
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kFileBytes) + "\r\n\r\n";
            conn.write(answer.data(), answer.size());
            CWebBody body;
            if (body.AddFile(At("file"), 0, kFileBytes) != 0)
                return false;
            conn.QueueBody(std::move(body));
        } else {
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\npong";
            conn.write(answer.data(), answer.size());
        }
        return true;
    }

    void Start(std::uint64_t nRate)
    {
        ASSERT_EQ(m_dispatcher.Start(nullptr, [this](CWebConnection& conn, bool) { return Serve(conn); }, 2, 16, 16,
                                     nRate),
                  0);
    }

    // A client connected through the dispatcher, having sent request.
    CSocket Ask(const std::string& request)
    {
        CSocket client = CSocket::ConnectTcp("127.0.0.1", m_listener.LocalPort(), 2000);
        CSocket accepted = m_listener.Accept();
        EXPECT_TRUE(client.IsValid() && accepted.IsValid());
        const int fd = ::dup(accepted.Fd());
        m_dispatcher.Adopt(fd);
        EXPECT_TRUE(client.SendAll(request.data(), request.size()));
        return client;
    }

    CWebDispatcher m_dispatcher;
    CSocket m_listener;
    std::string m_file;
};

// Reads the answer to GET /file (head and body) as it arrives, counting its bytes.
class CFileReader {
public:
    explicit CFileReader(CSocket sock) : m_sock(std::move(sock))
    {
        m_thread = std::thread([this] {
            char buf[65536];
            while (m_sock.WaitReadable(10000) > 0) {
                const ssize_t n = m_sock.Recv(buf, sizeof(buf));
                if (n <= 0)
                    break;
                m_got.append(buf, static_cast<std::size_t>(n));
                m_nBytes += static_cast<std::size_t>(n);
                const std::size_t nHead = m_got.find("\r\n\r\n");
                if (nHead != std::string::npos && m_got.size() - nHead - 4 >= kFileBytes)
                    break;
            }
            m_nDoneMs = MonotonicMs();
        });
    }
    ~CFileReader() { Join(); }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    std::size_t Bytes() const { return m_nBytes.load(); }
    // After Join.
    std::string Body() const
    {
        const std::size_t nHead = m_got.find("\r\n\r\n");
        return nHead == std::string::npos ? std::string() : m_got.substr(nHead + 4);
    }
    std::int64_t DoneMs() const { return m_nDoneMs; }

private:
    CSocket m_sock;
    std::string m_got;
    std::atomic<std::size_t> m_nBytes {0};
    std::int64_t m_nDoneMs = 0;
    std::thread m_thread;
};

} // namespace

TEST_F(WebDispatcherTest, FootageLimitSharesItsRateFairlyAndShortAnswersPassTheFiles)
{
    Start(kRate);
    const std::int64_t nStart = MonotonicMs();
    CFileReader first(Ask("GET /file HTTP/1.1\r\n\r\n"));
    CFileReader second(Ask("GET /file HTTP/1.1\r\n\r\n"));
    // A short answer is not queued behind the files' bytes, which take two seconds.
    CSocket ping = Ask("GET /ping HTTP/1.1\r\n\r\n");
    std::string pong;
    char buf[256];
    while (pong.find("pong") == std::string::npos && ping.WaitReadable(10000) > 0) {
        const ssize_t n = ping.Recv(buf, sizeof(buf));
        if (n <= 0)
            break;
        pong.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_NE(pong.find("\r\n\r\npong"), std::string::npos);
    EXPECT_LT(first.Bytes() + second.Bytes(), 2 * kFileBytes);
    first.Join();
    second.Join();
    EXPECT_TRUE(first.Body() == m_file);
    EXPECT_TRUE(second.Body() == m_file);
    // Both were served side by side: neither was done before the other had most of
    // its file.
    const std::int64_t nFirstDone = std::min(first.DoneMs(), second.DoneMs());
    const std::int64_t nLastDone = std::max(first.DoneMs(), second.DoneMs());
    EXPECT_LT(nLastDone - nFirstDone, (nLastDone - nStart) / 4) << nFirstDone - nStart << " and " << nLastDone - nStart;
    // Not faster than the limit allows, past the bucket that is full at the start.
    const std::uint64_t nBurst = std::max<std::uint64_t>(CWebDispatcher::kSendSliceBytes, kRate / 10);
    EXPECT_GE(nLastDone - nStart, static_cast<std::int64_t>((2 * kFileBytes - nBurst) * 1000 / kRate));
}

TEST_F(WebDispatcherTest, FootageLimitIsReadFromItsKeyAndOffWithoutAValidOne)
{
    for (const auto& [value, nExpected] : std::vector<std::pair<std::string, std::uint32_t>> {
             {"", 0}, {"250", 250}, {" 40 ", 40}, {"-5", 0}, {"12MB", 0}, {"99999999", 0}, {"0", 0}}) {
        std::filesystem::remove(At("QorConfig.xml"));
        CSettingsFile file(At("QorConfig.xml"));
        if (!value.empty())
            file.WriteValue("footagemaxmbs", value);
        EXPECT_EQ(LoadWebSettings(file).nFootageMaxMBs, nExpected) << "'" << value << "'";
    }
}
