// The token store of a fuzz target over a token file the target writes first.
#pragma once

#include "FuzzSupport.h"

#include "tokens/GetToken.h"

#include <string_view>

namespace fuzzsupport {

// Writes `tokenFile` as the token file and makes the store that reads it, kept
// for the whole run as the process keeps its store. The file must give
// RUNT_PARAM_QHV_INTERVAL_TIME the value 7: the run fails at once when the
// store does not read it so.
inline CGetToken* NewTokenStoreOver(std::string_view tokenFile)
{
    WriteWholeFile(TokenFilePath(), tokenFile.data(), tokenFile.size());
    auto* store = new CGetToken();
    if (store->getTokValueInt("RUNT_PARAM_QHV_INTERVAL_TIME") != 7) {
        Fail("token store set-up", "the token file was not read");
    }
    return store;
}

}  // namespace fuzzsupport
