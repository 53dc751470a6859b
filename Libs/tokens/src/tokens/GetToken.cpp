#include "tokens/GetToken.h"

#include "platform/ConfigDirectory.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Time.h"
#include "platform/TokenLock.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <chrono>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>

namespace {

// Plain character arrays: the store is built during static initialisation, when
// other units' std::string objects may not exist yet.
constexpr char TokenFileName[] = "TRXTokens.json";
constexpr char SetAsideSuffix[] = ".bad";
constexpr char TokenDatabasePath[] = "C:\\ProgramData\\Valdrena Marine\\ntrx\\ntrx.db";
constexpr char TempFolder[] = "c:\\temp\\";
constexpr char LockFilePath[] = "c:\\temp\\token.lck";
constexpr char MissingTokensPath[] = "c:/temp/missingtokens.txt";
// The full missing-tokens file is kept under this name while a new one begins.
constexpr char MissingTokensKeptPath[] = "c:/temp/missingtokens_1.txt";
// As for the database dump files: a file is not written beyond this size.
constexpr qint64 MissingTokensLimit = qint64 { 1 } << 20;
// The same missing lookup is noted again only after this time.
constexpr std::chrono::minutes MissingTokenRepeat { 1 };
// Beyond this many lines remembered, those older than MissingTokenRepeat are forgotten.
constexpr std::size_t MaxRememberedMissing = 1024;

constexpr int MaxLockAttempts = 100;
constexpr int LockRetryMs = 100;
constexpr int DescriptionLanguage = 3;  // the language whose descriptions are stored as UTF-8
constexpr int MaxDescriptionLength = 303;

struct DatabaseQuery {
    TokenType type;
    const char* sql;
};

// clang-format off
constexpr DatabaseQuery TokenQueries[] = {
    { TOKEN_FLOAT, "select value_id, token, float_values.value from token_value inner join float_values on token_value.value_id = float_values.id" },
    { TOKEN_INT,   "select value_id, token, integer_values.value from token_value inner join integer_values on token_value.value_id = integer_values.id" },
    { TOKEN_TEXT,  "select value_id, token, varchar_values.value from token_value inner join varchar_values on token_value.value_id = varchar_values.id" },
};
// clang-format on

QString NativeName(const std::string& path)
{
    return QString::fromStdString(platform::NativePath(path));
}

// The token name is put into the SQL text as a literal; a quote in it must not
// end the literal early.
QString QuotedLiteral(const std::string& text)
{
    return QString::fromUtf8(text.c_str()).replace(QLatin1Char('\''), QLatin1String("''"));
}

// The value of the last row of a query, or an invalid value when it had none.
QVariant LastRowValue(QSqlQuery& query)
{
    QVariant value;
    while (query.next()) {
        value = query.value(0);
    }
    return value;
}

QString ValueText(const TokenRecord& record)
{
    switch (record.type) {
    case TOKEN_FLOAT:
        return QString::number(record.floatValue, 'g', 6);
    case TOKEN_INT:
        return QString::number(record.intValue);
    case TOKEN_TEXT:
        return QString::fromLocal8Bit(record.textValue.c_str());
    default:
        return QString();
    }
}

TokenRecord RecordFromJson(const QJsonObject& object)
{
    TokenRecord record;
    record.description = object.value(QLatin1String("Descr")).toString().toUtf8().toStdString();
    record.type = object.value(QLatin1String("Type")).toInt();
    const QString value = object.value(QLatin1String("Value")).toString();
    switch (record.type) {
    case TOKEN_FLOAT:
        record.floatValue = value.toDouble();
        break;
    case TOKEN_INT:
        record.intValue = value.toInt(nullptr, 10);
        break;
    case TOKEN_TEXT:
        record.textValue = value.toLocal8Bit().toStdString();
        break;
    default:
        break;
    }
    return record;
}

}  // namespace

CGetToken::CGetToken()
{
    if (Init() == -1) {
        Init();
    }
}

CGetToken::~CGetToken()
{
    m_missingTokens.close();
    if (m_databaseAdded) {
        // The handle must go before the connection can be removed cleanly, so a
        // later store in this process can add the default connection again.
        m_database.close();
        m_database = QSqlDatabase();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }
}

std::int32_t CGetToken::getTokValueInt(const std::string& name)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    qDebug() << "Get token " << name.c_str();
    if (!ReadJsonFile()) {
        return 0;
    }
    const auto found = m_tokens.find(name);
    if (found != m_tokens.end() && found->second.type == TOKEN_INT) {
        return found->second.intValue;
    }
    qWarning() << "CGetToken - Not found " << name.c_str();
    AppendMissingToken("getTokValueInt missing token " + name + "\n");
    return 0;
}

std::string CGetToken::getTokValueStr(const std::string& name)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    qDebug() << "Get token " << name.c_str();
    if (!ReadJsonFile()) {
        qWarning() << "CGetToken - read failed";
        return std::string();
    }
    const auto found = m_tokens.find(name);
    if (found != m_tokens.end() && found->second.type == TOKEN_TEXT) {
        return found->second.textValue;
    }
    qWarning() << "CGetToken - Not found " << name.c_str();
    AppendMissingToken("getTokValueStr missing token " + name + "\n");
    return std::string();
}

bool CGetToken::saveJson()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return SaveJsonFile();
}

int CGetToken::Init()
{
    OpenMissingTokensFile();
    m_tokenFilePath = ConfigDirectory() + TokenFileName;
    if (!platform::FileExists(m_tokenFilePath)) {
        if (!OpenTokenDatabase()) {
            return -1;
        }
        if (m_tokens.empty()) {
            qDebug() << "Init tokens. Empty list";
            if (ReadTokensFromDatabase() == 0) {
                qWarning() << "No tokens in database";
                return -1;
            }
            SaveJsonFile();
        }
    }
    return ReadJsonFile() ? 0 : -1;
}

void CGetToken::OpenMissingTokensFile()
{
    if (m_missingTokens.isOpen()) {
        return;
    }
    // A fresh drive root has no c:\temp yet. A failure to open is ignored: the
    // lines are then lost, the lookups are not affected.
    platform::CreateDirectoryLevels(TempFolder);
    m_missingTokens.setFileName(NativeName(MissingTokensPath));
    m_missingTokens.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void CGetToken::AppendMissingToken(const std::string& line)
{
    // A logging command from the network that leaves a field empty looks its
    // token up each time: the same line is written at most once a minute, and
    // the file is kept below 1 MiB, so repeated commands cannot fill the disk.
    const auto now = std::chrono::steady_clock::now();
    const auto noted = m_missingNoted.emplace(line, now);
    if (!noted.second) {
        if (now - noted.first->second < MissingTokenRepeat) {
            return;
        }
        noted.first->second = now;
    }
    if (m_missingNoted.size() > MaxRememberedMissing) {
        for (auto it = m_missingNoted.begin(); it != m_missingNoted.end();) {
            it = now - it->second >= MissingTokenRepeat ? m_missingNoted.erase(it) : std::next(it);
        }
    }

    const auto length = static_cast<qint64>(line.size());
    if (m_missingTokens.isOpen() && m_missingTokens.size() + length > MissingTokensLimit) {
        // The full file is kept as the previous one (replacing an older one) and a new one begins.
        m_missingTokens.close();
        platform::RenameReplace(MissingTokensPath, MissingTokensKeptPath);
        OpenMissingTokensFile();
    }
    // Where the full file could not be moved aside, the line is not written.
    if (m_missingTokens.isOpen() && m_missingTokens.size() + length <= MissingTokensLimit) {
        // Flushed at once: the process ends without running exit handlers.
        m_missingTokens.write(line.c_str(), length);
        m_missingTokens.flush();
    }
}

bool CGetToken::OpenTokenDatabase()
{
    if (!m_databaseAdded) {
        m_database = QSqlDatabase::addDatabase(QLatin1String("QSQLITE"));
        m_databaseAdded = true;
    }
    if (m_database.isOpen()) {
        return true;
    }
    m_database.setDatabaseName(NativeName(TokenDatabasePath));
    // Only read: a missing database must fail to open rather than be created
    // empty where the system database belongs.
    m_database.setConnectOptions(QLatin1String("QSQLITE_OPEN_READONLY"));
    return m_database.open();
}

int CGetToken::ReadTokensFromDatabase()
{
    for (const DatabaseQuery& tokenQuery : TokenQueries) {
        QSqlQuery query(m_database);
        query.setForwardOnly(true);
        if (!query.exec(QLatin1String(tokenQuery.sql))) {
            continue;  // a failed query yields no rows
        }
        while (query.next()) {
            const std::string name = query.value(1).toString().toUtf8().toStdString();
            TokenRecord record;
            record.type = tokenQuery.type;
            switch (tokenQuery.type) {
            case TOKEN_FLOAT:
                record.floatValue = static_cast<double>(query.value(2).toFloat());
                break;
            case TOKEN_INT: {
                // A value beyond 32 bits reads as 0, as it does in the token
                // file, instead of wrapping into another number.
                bool read = false;
                const qlonglong value = query.value(2).toLongLong(&read);
                const bool fits = read && value >= std::numeric_limits<std::int32_t>::min() &&
                                  value <= std::numeric_limits<std::int32_t>::max();
                record.intValue = fits ? static_cast<std::int32_t>(value) : 0;
                break;
            }
            case TOKEN_TEXT:
                record.textValue = query.value(2).toString().toLocal8Bit().toStdString();
                break;
            }
            GetDescription(name, DescriptionLanguage, record.description);
            m_tokens[name] = record;
            m_tokensReadFrom.clear();
        }
    }
    return static_cast<int>(m_tokens.size());
}

bool CGetToken::DatabaseUsable()
{
    if (!m_database.isOpen()) {
        return false;
    }
    const QSqlError error = m_database.lastError();
    if (error.isValid()) {
        qDebug() << error.text().toUtf8().constData();
        return false;
    }
    return true;
}

int CGetToken::GetDescription(const std::string& name, int language, std::string& description)
{
    description.clear();
    QSqlQuery query(m_database);

    query.exec(QStringLiteral("select description_id from token_value where token=upper('%1')")
                   .arg(QuotedLiteral(name)));
    const QVariant descriptionId = LastRowValue(query);
    if (!DatabaseUsable()) {
        return -1;
    }
    if (!descriptionId.isValid()) {
        return 0;
    }

    query.exec(QStringLiteral("select description_id from descriptions_language where id='%1' and language='%2'")
                   .arg(descriptionId.toInt())
                   .arg(language));
    const QVariant languageId = LastRowValue(query);
    if (!DatabaseUsable()) {
        return -1;
    }
    if (!languageId.isValid()) {
        return 0;
    }

    query.exec(QStringLiteral("select description from descriptions where id='%1'").arg(languageId.toInt()));
    const QVariant text = LastRowValue(query);
    if (!text.isValid()) {
        return 0;
    }
    // Descriptions of our own language are stored as UTF-8; the others as Latin-1.
    const QString fetched = language == DescriptionLanguage ? text.toString()
                                                            : QString::fromLatin1(text.toByteArray());
    description = fetched.left(MaxDescriptionLength).toUtf8().toStdString();
    return 0;
}

bool CGetToken::TakeLock(platform::CTokenLock& lock)
{
    platform::CreateDirectoryLevels(TempFolder);
    if (!lock.Open(LockFilePath)) {
        qWarning() << "Error creating handle to new file.";
        return false;
    }
    int attempt = 1;
    while (!lock.TryLock()) {
        qDebug() << "File lock failed. Sleep some";
        platform::SleepMs(LockRetryMs);
        if (attempt == MaxLockAttempts) {
            qWarning() << "File lock failed. Giving up after 100 tries";
            lock.Close();
            return false;
        }
        ++attempt;
    }
    qDebug() << "File lock secured";
    return true;
}

bool CGetToken::ReadJsonFile()
{
    platform::CTokenLock lock;
    if (!TakeLock(lock)) {
        return false;
    }
    qDebug() << "Read json file";
    bool read = ReadTokenFile();
    // A token file that is gone (deleted, or set aside just now) is made again
    // from the token database under the same lock, so lookups go on without a
    // restart and no other process makes it at the same time. One that exists
    // but cannot be opened is left as it is.
    if (!read && !platform::FileExists(m_tokenFilePath) && MakeTokenFileFromDatabase()) {
        read = ReadTokenFile();
    }
    lock.Close();
    if (!read) {
        return false;
    }

    if (m_tokens.empty()) {
        qDebug() << "token size is 0";
        return false;
    }
    qDebug() << "CGetToken - read OK";
    return true;
}

bool CGetToken::ReadTokenFile()
{
    try {
        QFile file(NativeName(m_tokenFilePath));
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning() << "Couldn't open file.";
            return false;
        }
        const QByteArray bytes = file.readAll();
        file.close();
        // Lookups come often and the file seldom changes: parse it only when its
        // bytes differ from what the tokens were read from.
        if (!bytes.isEmpty() && bytes == m_tokensReadFrom) {
            return true;
        }
        m_tokensReadFrom.clear();
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        if (!document.isObject()) {
            qWarning() << "CGetToken - isObject is false";
            SetAsideUnreadableTokenFile();
            return false;
        }

        m_tokens.clear();
        const QJsonArray tokens = document.object().value(QLatin1String("tokens")).toArray();
        for (const QJsonValue element : tokens) {
            if (!element.isObject() || element.toObject().isEmpty()) {
                continue;  // not a token
            }
            const QJsonObject object = element.toObject();
            m_tokens[object.value(QLatin1String("Name")).toString().toUtf8().toStdString()] = RecordFromJson(object);
        }
        m_tokensReadFrom = bytes;
    } catch (const std::exception& error) {
        qDebug() << (std::strlen(error.what()) > 0 ? error.what() : "Unknown exception");
        return false;
    } catch (...) {
        qDebug() << "Unknown exception";
        return false;
    }
    return true;
}

bool CGetToken::MakeTokenFileFromDatabase()
{
    if (!OpenTokenDatabase()) {
        qWarning() << "CGetToken - no token database to make the token file from";
        return false;
    }
    // Only what the database holds: tokens of the lost file may be gone there.
    m_tokens.clear();
    m_tokensReadFrom.clear();
    if (ReadTokensFromDatabase() == 0) {
        qWarning() << "No tokens in database";
        return false;
    }
    if (!WriteTokenFile()) {
        return false;
    }
    qWarning() << "CGetToken - token file made again from the token database";
    return true;
}

void CGetToken::SetAsideUnreadableTokenFile()
{
    // Kept under another name (replacing an older one) rather than deleted, so
    // nothing another process wrote is lost; the lookup then makes the token
    // file again from the token database.
    const std::string setAside = m_tokenFilePath + SetAsideSuffix;
    if (platform::RenameReplace(m_tokenFilePath, setAside) == 0) {
        qWarning() << "CGetToken - unreadable token file moved to" << setAside.c_str();
    }
}

bool CGetToken::SaveJsonFile()
{
    qDebug() << "saveJson";
    // An empty map must not replace the token file that the other processes read.
    if (m_tokens.empty()) {
        return false;
    }
    platform::CTokenLock lock;
    if (!TakeLock(lock)) {
        return false;
    }
    return WriteTokenFile();
}

bool CGetToken::WriteTokenFile()
{
    QJsonArray tokens;
    for (const auto& [name, record] : m_tokens) {
        QJsonObject token;
        token.insert(QLatin1String("Name"), QString::fromUtf8(name.c_str()));
        token.insert(QLatin1String("Descr"), QString::fromUtf8(record.description.c_str()));
        token.insert(QLatin1String("Type"), record.type);
        token.insert(QLatin1String("Value"), ValueText(record));
        tokens.append(token);
    }
    QJsonObject root;  // QJsonObject keeps its keys in alphabetical order
    root.insert(QLatin1String("version"), QLatin1String("1"));
    root.insert(QLatin1String("lastsave"),
                QDateTime::currentDateTime().toString(QLatin1String("yyyyMMdd_hhmmss")));
    root.insert(QLatin1String("tokens"), tokens);

    // Replaced in one step: a crash or a full disk during the save leaves the
    // old file whole, never a part of the new one for the others to read.
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    const int error = platform::ReplaceFileContent(m_tokenFilePath, text.toStdString());
    if (error != 0) {
        qWarning() << "Couldn't open save file." << std::strerror(error);
        return false;
    }
    return true;
}
