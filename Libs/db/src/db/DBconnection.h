// One ODBC connection to the system database: owns the environment and
// connection handles and opens the connection with data source, user and
// password, as often as asked (a lost connection is opened again the same way).
// Used by the thread of its owning COdbcSession only.
#pragma once

#include <cstdlib>
#include <memory>

class CDBconnection {
public:
    // Bound of a connect (SQL_ATTR_LOGIN_TIMEOUT). psqlODBC honours it (a server
    // that accepts no connection fails with 08001 "timeout expired"); the SQLite
    // driver ignores it (it opens a file; a locked file makes it wait as long as
    // the data source's Timeout= says).
    static constexpr long LoginTimeoutSeconds = 5;

    CDBconnection() = default;
    // Disconnects (committing once if the first disconnect fails) and releases
    // the handles.
    virtual ~CDBconnection();

    CDBconnection(const CDBconnection&) = delete;
    CDBconnection& operator=(const CDBconnection&) = delete;

    // Each keeps its own copy, replacing the previous one; 0, or -1 for a null
    // text or a failed allocation.
    int setDataSource(const char* text);
    int setUser(const char* text);
    int setPassword(const char* text);

    // Allocates the handles and connects (ending a connection still open): 0,
    // or -1 with the diagnostic record of the failure kept and every handle released.
    int connect();
    // Ends the connection (committing once if the first disconnect fails) and
    // releases the handles; connect() opens it again.
    void disconnect();

    // The ODBC connection handle (SQLHDBC); null until connected.
    void* connectionHandle() const { return m_dbc; }
    int lastReturnCode() const { return m_rc; }
    const char* sqlState() const { return m_sqlState; }
    int nativeError() const { return m_nativeError; }
    const char* errorMessage() const { return m_message; }
    // The data source given, or an empty text.
    const char* dataSource() const { return m_dataSource ? m_dataSource.get() : ""; }

private:
    struct FreeText {
        void operator()(char* text) const { std::free(text); }
    };
    using OwnedText = std::unique_ptr<char, FreeText>;

    static int copyText(OwnedText& target, const char* text);
    void releaseHandles();

    void* m_env = nullptr;  // SQLHENV
    int m_rc = 0;           // last ODBC return, sign-extended
    void* m_dbc = nullptr;  // SQLHDBC
    // Diagnostic record of the last failed connect.
    char m_sqlState[6] = {};
    int m_nativeError = 0;
    short m_messageLength = 0;
    char m_message[256] = {};
    OwnedText m_dataSource;
    OwnedText m_user;
    OwnedText m_password;
};
