// The token store over a token file of any content (CGetToken, as another
// process or a damaged disk may leave the file). Lookups must neither fail nor
// lose what the file held: a file that is a JSON object stays as it is, any
// other is set aside whole as "TRXTokens.json.bad"; without a token database to
// make it again from, the lookups then give 0 and "".
#include "FuzzSupport.h"
#include "TokenStoreSetUp.h"

#include "tokens/GetToken.h"

#include <QByteArray>
#include <QJsonDocument>

#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

constexpr char ReadableFile[] =
    R"({ "tokens": [ { "Descr": "", "Name": "RUNT_PARAM_QHV_INTERVAL_TIME", "Type": 2, "Value": "7" } ] })";

CGetToken* g_store = nullptr;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_store = fuzzsupport::NewTokenStoreOver(ReadableFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string file = fuzzsupport::TokenFilePath();
    const std::string setAside = file + ".bad";
    const std::string content(reinterpret_cast<const char*>(data), size);
    ::unlink(setAside.c_str());
    fuzzsupport::WriteWholeFile(file, data, size);

    const std::int32_t interval = g_store->getTokValueInt("RUNT_PARAM_QHV_INTERVAL_TIME");
    const std::string directory = g_store->getTokValueStr("RUNT_PARAM_QHV_DIR");
    const std::int32_t other = g_store->getTokValueInt("RUNT_PARAM_QHV_DIR");

    const bool readable = QJsonDocument::fromJson(QByteArray(content.data(), static_cast<int>(size))).isObject();
    if (readable) {
        FUZZ_CHECK(fuzzsupport::ReadWholeFile(file) == content && !Exists(setAside),
                   "a readable token file was changed: " + fuzzsupport::Shown(content));
    } else {
        FUZZ_CHECK(!Exists(file) && fuzzsupport::ReadWholeFile(setAside) == content,
                   "an unreadable token file was not kept whole: " + fuzzsupport::Shown(content));
        FUZZ_CHECK(interval == 0 && directory.empty() && other == 0,
                   "values from an unreadable token file: " + fuzzsupport::Shown(content));
    }
    return 0;
}
