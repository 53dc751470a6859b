// CGetToken: the run-time parameters (tokens) shared by the system's processes
// through the token file, which is made from the token database when missing,
// at start and at any lookup that finds it gone or unreadable.
// Any thread may look up or save; each whole operation runs under one mutex.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QSqlDatabase>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace platform {
class CTokenLock;
}

enum TokenType : std::int32_t {
    TOKEN_FLOAT = 1,
    TOKEN_INT = 2,
    TOKEN_TEXT = 3,
};

struct TokenRecord {
    std::string description;  // UTF-8
    std::int32_t type = 0;    // a TokenType; a token file may hold others, kept as read
    std::int32_t intValue = 0;
    double floatValue = 0.0;
    std::string textValue;  // local 8-bit encoding
};

class CGetToken {
public:
    // Reads the tokens (creating the token file from the token database when it
    // is missing); a failed first attempt is repeated once. Safe during static
    // initialisation: it needs no QCoreApplication.
    CGetToken();
    ~CGetToken();

    CGetToken(const CGetToken&) = delete;
    CGetToken& operator=(const CGetToken&) = delete;

    // The integer value of a token of type 2; 0 when it is missing, of another
    // type, or the token file cannot be read.
    std::int32_t getTokValueInt(const std::string& name);

    // The text value of a token of type 3; empty when it is missing, of another
    // type, or the token file cannot be read.
    std::string getTokValueStr(const std::string& name);

    // Writes the map to the token file, replacing it in one step: on a failure
    // the old file stays as it was. True when the file was written.
    bool saveJson();

private:
    int Init();
    void OpenMissingTokensFile();
    void AppendMissingToken(const std::string& line);
    bool OpenTokenDatabase();
    int ReadTokensFromDatabase();
    int GetDescription(const std::string& name, int language, std::string& description);
    bool DatabaseUsable();
    bool TakeLock(platform::CTokenLock& lock);
    bool ReadJsonFile();
    // These three expect the token lock held.
    bool ReadTokenFile();
    bool MakeTokenFileFromDatabase();
    bool WriteTokenFile();
    void SetAsideUnreadableTokenFile();
    bool SaveJsonFile();

    std::mutex m_mutex;  // one lookup or save at a time
    QSqlDatabase m_database;
    bool m_databaseAdded = false;
    QFile m_missingTokens;
    // Each missing-token line and when it was last written.
    std::map<std::string, std::chrono::steady_clock::time_point> m_missingNoted;
    std::map<std::string, TokenRecord> m_tokens;
    // The token file's bytes that m_tokens was read from (empty: m_tokens did
    // not come from the file as it stands), so an unchanged file is not parsed again.
    QByteArray m_tokensReadFrom;
    std::string m_tokenFilePath;  // Windows form, as the system builds it
};
