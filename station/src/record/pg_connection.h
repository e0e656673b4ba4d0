// One connection to the line's PostgreSQL server through libpq, where every
// call has a time bound: the connection (connect_timeout and our own wait),
// each statement (the server's statement_timeout and our own wait for its
// answer), and an idle link (TCP keepalives and a user time-out). A call
// that runs out of time drops the connection, so the next call starts clean.
// Not thread-safe: one thread at a time (the owner serialises).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win_types.h"

struct pg_conn;
struct pg_result;

// How long connecting and one statement may take.
constexpr DWORD PG_CONNECT_TIMEOUT_MS = 5000;
constexpr DWORD PG_STATEMENT_TIMEOUT_MS = 5000;

// SQLSTATE values the record acts on.
#define PG_STATE_UNIQUE_VIOLATION "23505"
#define PG_STATE_SERIALIZATION "40001"

// A statement's rows, owned.
class CPgResult {
public:
    CPgResult() = default;
    ~CPgResult();
    CPgResult(const CPgResult&) = delete;
    CPgResult& operator=(const CPgResult&) = delete;

    int Rows() const;
    bool IsNull(int nRow, int nColumn) const;
    std::string Text(int nRow, int nColumn) const;
    int64_t Int(int nRow, int nColumn) const;  // 0 for NULL or a non-number
    // Rows changed by an INSERT, UPDATE or DELETE without RETURNING.
    int64_t Changed() const;

private:
    friend class CPgConnection;
    void Reset(pg_result* pResult);
    pg_result* m_pResult = nullptr;
};

// A parameter: text, or no value (SQL NULL).
using PgParam = std::optional<std::string>;

class CPgConnection {
public:
    CPgConnection() = default;
    ~CPgConnection();
    CPgConnection(const CPgConnection&) = delete;
    CPgConnection& operator=(const CPgConnection&) = delete;

    // Connects with a libpq connection string (its own keys win over our
    // time bounds). FALSE with *pError when the server does not answer within
    // dwTimeoutMs or refuses.
    bool Connect(const std::string& conninfo, const std::string& applicationName, DWORD dwTimeoutMs,
                 std::string* pError);
    void Close();
    bool IsOpen() const { return m_pConn != nullptr; }

    // Runs one statement with parameters $1..$n (without parameters, one or
    // more statements separated by semicolons). TRUE with the rows in
    // *pResult (may be null). FALSE with *pError and the SQLSTATE in
    // LastState(); a failure of the link (or its time-out) also closes the
    // connection, and LinkLost() says so.
    bool Exec(const std::string& sql, const std::vector<PgParam>& params, CPgResult* pResult,
              std::string* pError);
    // Exec without parameters or rows.
    bool Run(const std::string& sql, std::string* pError) { return Exec(sql, {}, nullptr, pError); }
    const std::string& LastState() const { return m_lastState; }
    // The last failed call lost the link: the server may or may not have
    // done what was asked.
    bool LinkLost() const { return m_bLinkLost; }

private:
    bool WaitSocket(bool bForWrite, DWORD dwDeadline, std::string* pError);
    void Drop(std::string* pError, const std::string& why);

    pg_conn* m_pConn = nullptr;
    std::string m_lastState;
    bool m_bLinkLost = false;
};

// A text array parameter in PostgreSQL's literal form ({"a","b"}), for
// statements that take a list.
std::string PgTextArray(const std::vector<std::string>& items);
