#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

class CWakeFd;
struct pg_conn;

// What one statement (or the last of several) answered.
struct PgResult {
    bool bOk = false;
    bool bLost = false;         // the connection is gone (or timed out and was closed)
    std::string strError;       // why not bOk
    std::string strState;       // the SQLSTATE of a server error; empty otherwise
    std::vector<std::vector<std::optional<std::string>>> rows;  // text values; nullopt is NULL
};

// One connection to a PostgreSQL server whose every wait is bounded: connecting,
// sending and reading poll the socket until a deadline or until the stop descriptor is
// signalled, so a cut network or a stalled server never holds the caller past its
// time-out or a stop. A statement that times out closes the connection (the server
// rolls back what it had begun). One thread at a time.
class CPgConnection {
public:
    CPgConnection() = default;
    ~CPgConnection();  // Close()
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    // Connects within nTimeoutMs; pStop (may be null) ends the attempt early. True, or
    // false with strError.
    bool Connect(const std::string& connInfo, int nTimeoutMs, const CWakeFd* pStop, std::string& strError);
    void Close();
    bool IsOpen() const { return m_pConn != nullptr; }

    // Runs sql with text parameters ($1, $2 ...) and waits at most nTimeoutMs for the
    // answer. Without parameters sql may hold several statements; the rows are those
    // of the last one.
    PgResult Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params, int nTimeoutMs,
                  const CWakeFd* pStop);
    // Waits up to nTimeoutMs for the server to send something (a notification) or for
    // pWake; false when the connection was lost.
    bool WaitForInput(int nTimeoutMs, const CWakeFd* pWake);
    // The notifications received so far: channel and payload.
    std::vector<std::pair<std::string, std::string>> TakeNotifications();

private:
    // Waits until the query sent is answered whole, collecting its results into result.
    void x_Collect(long long nDeadlineMs, const CWakeFd* pStop, PgResult& result);
    // Fails result with text and closes the connection.
    void x_Lost(PgResult& result, const std::string& text);

    pg_conn* m_pConn = nullptr;
};
