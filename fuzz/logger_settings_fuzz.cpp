// A logging command's settings: SettingsFromSentence takes directory, template,
// interval and port from fields 3 to 6 and falls back to the token store for an
// empty or missing field. The store reads a token file in the scratch folder
// that holds the heave logger's four tokens and none of the P2X logger's.
#include "FuzzSupport.h"
#include "TokenStoreSetUp.h"

#include "QHVLogger/LoggerShared.h"
#include "tokens/GetToken.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {


constexpr char TokenFile[] = R"({
    "lastsave": "20250101_120000",
    "tokens": [
        { "Descr": "", "Name": "RUNT_PARAM_QHV_DIR", "Type": 3, "Value": "D:\\survey\\tok" },
        { "Descr": "", "Name": "RUNT_PARAM_QHV_FILE", "Type": 3, "Value": "tok__TOKY_.qhv" },
        { "Descr": "", "Name": "RUNT_PARAM_QHV_INTERVAL_TIME", "Type": 2, "Value": "7" },
        { "Descr": "", "Name": "RUNT_PARAM_QHV_LOG_SOURCE_PORT", "Type": 2, "Value": "31102" }
    ],
    "version": "1"
}
)";

CGetToken* g_store = nullptr;


// A field read as atoi reads it; a value beyond the int range takes the token's `fallback`.
std::int32_t Integer(const std::string& field, std::int32_t fallback)
{
    errno = 0;
    const long value = std::strtol(field.c_str(), nullptr, 10);
    return errno == ERANGE || value < INT32_MIN || value > INT32_MAX ? fallback : static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_store = fuzzsupport::NewTokenStoreOver(TokenFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte picks the logger whose tokens stand in.
    const bool heave = (data[0] & 1) == 0;
    const std::string sentence(reinterpret_cast<const char*>(data) + 1, size - 1);
    const LoggerSettings settings =
        SettingsFromSentence(sentence, heave ? HeaveSettingTokens : P2XSettingTokens, *g_store);

    std::vector<std::string> fields = fuzzsupport::Fields(sentence);
    fields.resize(std::max<std::size_t>(fields.size(), 6));
    const std::string directory = !fields[2].empty() ? fields[2] : heave ? "D:\\survey\\tok" : "";
    const std::string fileTemplate = !fields[3].empty() ? fields[3] : heave ? "tok__TOKY_.qhv" : "";
    const std::int32_t intervalToken = heave ? 7 : 0;
    const std::int32_t portToken = heave ? 31102 : 0;
    const std::int32_t interval = !fields[4].empty() ? Integer(fields[4], intervalToken) : intervalToken;
    const std::int32_t port = !fields[5].empty() ? Integer(fields[5], portToken) : portToken;
    FUZZ_CHECK(settings.directory == directory && settings.fileTemplate == fileTemplate &&
                   settings.interval == interval && settings.sourcePort == port,
               fuzzsupport::Shown(sentence) + " gave " + fuzzsupport::Shown(settings.directory) + " " +
                   fuzzsupport::Shown(settings.fileTemplate) + " " + std::to_string(settings.interval) + " " +
                   std::to_string(settings.sourcePort));
    return 0;
}
