// One ODBC connection to the system database: owns the environment and
// connection handles and opens the connection with data source, user and
// password. Used by the thread of its owning CDBoperations only.
#pragma once

#include <cstdlib>
#include <memory>

class CDBconnection {
public:
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

    // Allocates the handles and connects: 0, or -1 with the diagnostic record of
    // the failure kept and every handle released.
    int connect();

    // The ODBC connection handle (SQLHDBC); null until connected.
    void* connectionHandle() const { return m_dbc; }
    int lastReturnCode() const { return m_rc; }
    const char* sqlState() const { return m_sqlState; }
    int nativeError() const { return m_nativeError; }
    const char* errorMessage() const { return m_message; }

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
    char m_message[100] = {};
    OwnedText m_dataSource;
    OwnedText m_user;
    OwnedText m_password;
};
