#include "pg_connection.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "platform/ext/descriptor_wait.h"
#include "platform/win_sync.h"

namespace {

// libpq's own bounds, under ours: it gives up on a silent server or link by
// itself as well. GSSAPI encryption is off unless the line asks for it: its
// negotiation only delays every connect where no Kerberos is set up. A
// user's connection string may set any of them.
const char* const kBoundKeys[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                                  "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                                  "gssencmode"};
const char* const kBoundValues[] = {"5", "1", "5", "2", "3", "10000", "disable"};

std::string Trimmed(const char* lpszMessage) {
    std::string text = lpszMessage != nullptr ? lpszMessage : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

DWORD Left(DWORD dwDeadline) {
    const DWORD dwNow = GetTickCount();
    return static_cast<int32_t>(dwDeadline - dwNow) > 0 ? dwDeadline - dwNow : 0;
}

}  // namespace

CPgResult::~CPgResult() {
    Reset(nullptr);
}

void CPgResult::Reset(pg_result* pResult) {
    if (m_pResult != nullptr)
        PQclear(m_pResult);
    m_pResult = pResult;
}

int CPgResult::Rows() const {
    return m_pResult != nullptr ? PQntuples(m_pResult) : 0;
}

bool CPgResult::IsNull(int nRow, int nColumn) const {
    return m_pResult == nullptr || nRow >= Rows() || nColumn >= PQnfields(m_pResult) ||
           PQgetisnull(m_pResult, nRow, nColumn) != 0;
}

std::string CPgResult::Text(int nRow, int nColumn) const {
    if (IsNull(nRow, nColumn))
        return std::string();
    return std::string(PQgetvalue(m_pResult, nRow, nColumn),
                       static_cast<size_t>(PQgetlength(m_pResult, nRow, nColumn)));
}

int64_t CPgResult::Int(int nRow, int nColumn) const {
    const std::string text = Text(nRow, nColumn);
    char* pEnd = nullptr;
    const long long nValue = std::strtoll(text.c_str(), &pEnd, 10);
    return text.empty() || *pEnd != '\0' ? 0 : nValue;
}

int64_t CPgResult::Changed() const {
    return m_pResult != nullptr ? std::strtoll(PQcmdTuples(m_pResult), nullptr, 10) : 0;
}

CPgConnection::~CPgConnection() {
    Close();
}

void CPgConnection::Close() {
    if (m_pConn != nullptr) {
        PQfinish(m_pConn);
        m_pConn = nullptr;
    }
}

void CPgConnection::Drop(std::string* pError, const std::string& why) {
    if (pError != nullptr)
        *pError = why;
    m_bLinkLost = true;
    Close();
}

bool CPgConnection::WaitSocket(bool bForWrite, DWORD dwDeadline, std::string* pError) {
    const int nReady =
        platform::WaitForDescriptor(PQsocket(m_pConn), bForWrite ? TRUE : FALSE, Left(dwDeadline));
    if (nReady > 0)
        return true;
    Drop(pError, nReady == 0 ? "the server did not answer in time" : "the server's link failed");
    return false;
}

bool CPgConnection::Connect(const std::string& conninfo, const std::string& applicationName,
                            DWORD dwTimeoutMs, std::string* pError) {
    Close();
    m_lastState.clear();
    m_bLinkLost = false;
    const DWORD dwDeadline = GetTickCount() + dwTimeoutMs;
    // Our bounds first, then the line's connection string: its keys win.
    std::vector<const char*> keys(std::begin(kBoundKeys), std::end(kBoundKeys));
    std::vector<const char*> values(std::begin(kBoundValues), std::end(kBoundValues));
    const std::string options = "-c statement_timeout=" + std::to_string(PG_STATEMENT_TIMEOUT_MS) +
                                " -c idle_in_transaction_session_timeout=30000";
    keys.insert(keys.end(), {"options", "application_name", "dbname", nullptr});
    values.insert(values.end(),
                  {options.c_str(), applicationName.c_str(), conninfo.c_str(), nullptr});
    m_pConn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (m_pConn == nullptr) {
        if (pError != nullptr)
            *pError = "out of memory for the server connection";
        return false;
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD) {
        const std::string why = Trimmed(PQerrorMessage(m_pConn));
        Close();
        if (pError != nullptr)
            *pError = "cannot connect to the server: " + why;
        return false;
    }
    PostgresPollingStatusType poll = PGRES_POLLING_WRITING;
    while (poll != PGRES_POLLING_OK) {
        if (poll == PGRES_POLLING_FAILED) {
            const std::string why = Trimmed(PQerrorMessage(m_pConn));
            Close();
            if (pError != nullptr)
                *pError = "cannot connect to the server: " + why;
            return false;
        }
        if (!WaitSocket(poll == PGRES_POLLING_WRITING, dwDeadline, pError)) {
            if (pError != nullptr)
                *pError = "cannot connect to the server: " + *pError;
            return false;
        }
        poll = PQconnectPoll(m_pConn);
    }
    if (PQsetnonblocking(m_pConn, 1) != 0) {
        Drop(pError, "cannot use the server connection: " + Trimmed(PQerrorMessage(m_pConn)));
        return false;
    }
    return true;
}

bool CPgConnection::Exec(const std::string& sql, const std::vector<PgParam>& params,
                         CPgResult* pResult, std::string* pError) {
    m_lastState.clear();
    m_bLinkLost = false;
    if (m_pConn == nullptr) {
        if (pError != nullptr)
            *pError = "not connected to the server";
        m_bLinkLost = true;
        return false;
    }
    const DWORD dwDeadline = GetTickCount() + PG_STATEMENT_TIMEOUT_MS + 1000;
    std::vector<const char*> values;
    for (const PgParam& param : params)
        values.push_back(param ? param->c_str() : nullptr);
    // Without parameters the simple protocol runs, which takes several
    // statements at once (a schema).
    const int nSent = params.empty()
                          ? PQsendQuery(m_pConn, sql.c_str())
                          : PQsendQueryParams(m_pConn, sql.c_str(), static_cast<int>(values.size()),
                                              nullptr, values.data(), nullptr, nullptr, 0);
    if (nSent == 0) {
        Drop(pError, "cannot send to the server: " + Trimmed(PQerrorMessage(m_pConn)));
        return false;
    }
    for (;;) {
        const int nFlush = PQflush(m_pConn);
        if (nFlush == 0)
            break;
        if (nFlush < 0) {
            Drop(pError, "cannot send to the server: " + Trimmed(PQerrorMessage(m_pConn)));
            return false;
        }
        if (!WaitSocket(true, dwDeadline, pError))
            return false;
        PQconsumeInput(m_pConn);
    }
    bool bOk = true;
    std::string error;
    CPgResult last;
    for (;;) {
        while (PQisBusy(m_pConn) != 0) {
            if (!WaitSocket(false, dwDeadline, pError))
                return false;
            if (PQconsumeInput(m_pConn) == 0) {
                Drop(pError, "the server's link failed: " + Trimmed(PQerrorMessage(m_pConn)));
                return false;
            }
        }
        pg_result* pOne = PQgetResult(m_pConn);
        if (pOne == nullptr)
            break;
        const ExecStatusType status = PQresultStatus(pOne);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && bOk) {
            bOk = false;
            const char* lpszState = PQresultErrorField(pOne, PG_DIAG_SQLSTATE);
            m_lastState = lpszState != nullptr ? lpszState : "";
            error = Trimmed(PQresultErrorMessage(pOne));
        }
        last.Reset(pOne);
    }
    if (PQstatus(m_pConn) == CONNECTION_BAD) {
        Drop(pError,
             "the server's link failed: " + (error.empty() ? std::string("closed") : error));
        return false;
    }
    if (!bOk) {
        if (pError != nullptr)
            *pError = error;
        return false;
    }
    if (pResult != nullptr) {
        pResult->Reset(last.m_pResult);
        last.m_pResult = nullptr;
    }
    return true;
}

std::string PgTextArray(const std::vector<std::string>& items) {
    std::string text = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        text += i > 0 ? ",\"" : "\"";
        for (char c : items[i]) {
            if (c == '"' || c == '\\')
                text += '\\';
            text += c;
        }
        text += '"';
    }
    return text + "}";
}
