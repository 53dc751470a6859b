#include "tokens/TokenStore.h"

CGetToken& TokenStore()
{
    // Never deleted: the process ends with _exit, and a store destroyed by the
    // exit handlers could still be reached from a state-machine thread.
    static CGetToken* const store = new CGetToken();
    return *store;
}

namespace {

// Builds the store before main runs, as soon as this unit is part of a program.
[[maybe_unused]] CGetToken& g_storeBuiltAtStart = TokenStore();

}  // namespace
