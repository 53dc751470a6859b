#include "db/DBconnection.h"

#include <sql.h>
#include <sqlext.h>

#include <cstring>

namespace {

bool Succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLSMALLINT TextLength(const char* text) { return static_cast<SQLSMALLINT>(std::strlen(text)); }

}  // namespace

CDBconnection::~CDBconnection()
{
    disconnect();
}

void CDBconnection::disconnect()
{
    if (m_dbc != nullptr) {
        m_rc = SQLDisconnect(m_dbc);
        if (m_rc == SQL_ERROR) {
            // Typically an open transaction: end it and try once more.
            SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_COMMIT);
            m_rc = SQLDisconnect(m_dbc);
        }
    }
    releaseHandles();
}

int CDBconnection::copyText(OwnedText& target, const char* text)
{
    if (text == nullptr) {
        return -1;
    }
    char* copy = ::strdup(text);
    if (copy == nullptr) {
        return -1;
    }
    target.reset(copy);
    return 0;
}

int CDBconnection::setDataSource(const char* text) { return copyText(m_dataSource, text); }
int CDBconnection::setUser(const char* text) { return copyText(m_user, text); }
int CDBconnection::setPassword(const char* text) { return copyText(m_password, text); }

void CDBconnection::releaseHandles()
{
    if (m_dbc != nullptr) {
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        m_dbc = nullptr;
    }
    if (m_env != nullptr) {
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        m_env = nullptr;
    }
}

int CDBconnection::connect()
{
    if (!m_dataSource || !m_user || !m_password) {
        return -1;
    }
    disconnect();

    m_rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
    if (!Succeeded(static_cast<SQLRETURN>(m_rc))) {
        m_env = nullptr;
        return -1;
    }
    m_rc = SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!Succeeded(static_cast<SQLRETURN>(m_rc))) {
        releaseHandles();
        return -1;
    }
    m_rc = SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
    if (!Succeeded(static_cast<SQLRETURN>(m_rc))) {
        m_dbc = nullptr;
        releaseHandles();
        return -1;
    }
    // Timeouts are a wish; drivers that do not support them are no reason to fail.
    // The connection timeout is not relied on (both drivers accept it); the
    // statements get their own bound (COdbcSession).
    SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(LoginTimeoutSeconds), 0);
    SQLSetConnectAttr(m_dbc, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(LoginTimeoutSeconds), 0);

    m_rc = SQLConnect(m_dbc,
                      reinterpret_cast<SQLCHAR*>(m_dataSource.get()), TextLength(m_dataSource.get()),
                      reinterpret_cast<SQLCHAR*>(m_user.get()), TextLength(m_user.get()),
                      reinterpret_cast<SQLCHAR*>(m_password.get()), TextLength(m_password.get()));
    if (Succeeded(static_cast<SQLRETURN>(m_rc))) {
        return 0;
    }

    SQLINTEGER nativeError = 0;
    SQLSMALLINT length = 0;
    std::memset(m_sqlState, 0, sizeof m_sqlState);
    std::memset(m_message, 0, sizeof m_message);
    SQLGetDiagRec(SQL_HANDLE_DBC, m_dbc, 1, reinterpret_cast<SQLCHAR*>(m_sqlState), &nativeError,
                  reinterpret_cast<SQLCHAR*>(m_message), sizeof m_message, &length);
    m_nativeError = nativeError;
    m_messageLength = length;
    releaseHandles();
    return -1;
}
