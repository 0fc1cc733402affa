#include "central/PgConnection.h"

#include "platform/Poller.h"
#include "platform/System.h"

#include <libpq-fe.h>

#include <algorithm>

namespace {

int Remaining(long long nDeadlineMs)
{
    return static_cast<int>(std::max<long long>(0, nDeadlineMs - MonotonicMs()));
}

std::string Trimmed(const char* szText)
{
    std::string text = szText ? szText : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

CPgConnection::~CPgConnection()
{
    Close();
}

void CPgConnection::Close()
{
    if (m_pConn)
        PQfinish(m_pConn);
    m_pConn = nullptr;
}

bool CPgConnection::Connect(const std::string& connInfo, int nTimeoutMs, const CWakeFd* pStop,
                            std::string& strError)
{
    Close();
    const long long nDeadline = MonotonicMs() + nTimeoutMs;
    m_pConn = PQconnectStart(connInfo.c_str());
    if (!m_pConn) {
        strError = "out of memory";
        return false;
    }
    PostgresPollingStatusType eStatus = PGRES_POLLING_WRITING;
    while (PQstatus(m_pConn) != CONNECTION_BAD && eStatus != PGRES_POLLING_OK && eStatus != PGRES_POLLING_FAILED) {
        auto eWant = eStatus == PGRES_POLLING_READING ? CPoller::Want::Read : CPoller::Want::Write;
        CPoller::Outcome eOutcome = CPoller::WaitOne(PQsocket(m_pConn), eWant, Remaining(nDeadline), pStop);
        if (eOutcome == CPoller::Outcome::Woken || eOutcome == CPoller::Outcome::TimedOut) {
            strError = eOutcome == CPoller::Outcome::Woken ? "stopped" : "timed out while connecting";
            Close();
            return false;
        }
        eStatus = PQconnectPoll(m_pConn);
    }
    if (PQstatus(m_pConn) != CONNECTION_OK) {
        strError = Trimmed(PQerrorMessage(m_pConn));
        Close();
        return false;
    }
    PQsetnonblocking(m_pConn, 1);
    // The server's notices (a table that exists already) are no news to the operator.
    PQsetNoticeProcessor(m_pConn, [](void*, const char*) {}, nullptr);
    return true;
}

void CPgConnection::x_Lost(PgResult& result, const std::string& text)
{
    result.bOk = false;
    result.bLost = true;
    if (result.strError.empty())
        result.strError = text;
    Close();
}

PgResult CPgConnection::Exec(const std::string& sql, const std::vector<std::optional<std::string>>& params,
                             int nTimeoutMs, const CWakeFd* pStop)
{
    PgResult result;
    if (!m_pConn) {
        result.bLost = true;
        result.strError = "not connected";
        return result;
    }
    const long long nDeadline = MonotonicMs() + nTimeoutMs;
    std::vector<const char*> values;
    for (const auto& param : params)
        values.push_back(param ? param->c_str() : nullptr);
    int nSent = params.empty() ? PQsendQuery(m_pConn, sql.c_str())
                               : PQsendQueryParams(m_pConn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                                   values.data(), nullptr, nullptr, 0);
    if (nSent != 1) {
        x_Lost(result, Trimmed(PQerrorMessage(m_pConn)));
        return result;
    }
    int nFlush = 0;
    while ((nFlush = PQflush(m_pConn)) == 1) {
        CPoller::Outcome eOutcome = CPoller::WaitOne(PQsocket(m_pConn), CPoller::Want::Write, Remaining(nDeadline), pStop);
        if (eOutcome != CPoller::Outcome::Ready) {
            x_Lost(result, eOutcome == CPoller::Outcome::Woken ? "stopped" : "timed out while sending");
            return result;
        }
    }
    if (nFlush < 0) {
        x_Lost(result, Trimmed(PQerrorMessage(m_pConn)));
        return result;
    }
    result.bOk = true;
    x_Collect(nDeadline, pStop, result);
    return result;
}

void CPgConnection::x_Collect(long long nDeadlineMs, const CWakeFd* pStop, PgResult& result)
{
    for (;;) {
        while (PQisBusy(m_pConn)) {
            CPoller::Outcome eOutcome =
                CPoller::WaitOne(PQsocket(m_pConn), CPoller::Want::Read, Remaining(nDeadlineMs), pStop);
            if (eOutcome != CPoller::Outcome::Ready) {
                x_Lost(result, eOutcome == CPoller::Outcome::Woken ? "stopped" : "timed out waiting for the answer");
                return;
            }
            if (PQconsumeInput(m_pConn) != 1) {
                x_Lost(result, Trimmed(PQerrorMessage(m_pConn)));
                return;
            }
        }
        PGresult* pRes = PQgetResult(m_pConn);
        if (!pRes)
            break;
        ExecStatusType eStatus = PQresultStatus(pRes);
        if (eStatus == PGRES_TUPLES_OK) {
            result.rows.clear();
            for (int r = 0; r < PQntuples(pRes); ++r) {
                std::vector<std::optional<std::string>> row;
                for (int c = 0; c < PQnfields(pRes); ++c)
                    row.push_back(PQgetisnull(pRes, r, c) ? std::nullopt
                                                          : std::optional<std::string>(PQgetvalue(pRes, r, c)));
                result.rows.push_back(std::move(row));
            }
        } else if (eStatus != PGRES_COMMAND_OK && eStatus != PGRES_EMPTY_QUERY && result.bOk) {
            result.bOk = false;
            result.strError = Trimmed(PQresultErrorMessage(pRes));
            const char* szState = PQresultErrorField(pRes, PG_DIAG_SQLSTATE);
            result.strState = szState ? szState : "";
        }
        PQclear(pRes);
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD)
        x_Lost(result, Trimmed(PQerrorMessage(m_pConn)));
}

bool CPgConnection::WaitForInput(int nTimeoutMs, const CWakeFd* pWake)
{
    if (!m_pConn)
        return false;
    CPoller::Outcome eOutcome = CPoller::WaitOne(PQsocket(m_pConn), CPoller::Want::Read, nTimeoutMs, pWake);
    if ((eOutcome == CPoller::Outcome::Ready && PQconsumeInput(m_pConn) != 1) || PQstatus(m_pConn) == CONNECTION_BAD) {
        Close();
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> CPgConnection::TakeNotifications()
{
    std::vector<std::pair<std::string, std::string>> notes;
    if (!m_pConn)
        return notes;
    while (PGnotify* pNote = PQnotifies(m_pConn)) {
        notes.emplace_back(pNote->relname ? pNote->relname : "", pNote->extra ? pNote->extra : "");
        PQfreemem(pNote);
    }
    return notes;
}
