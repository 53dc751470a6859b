// The one token store of the process. It is built during static initialisation
// of any program that uses it and deliberately never destroyed, so nothing that
// runs while the process ends can meet a destroyed store. Any thread may call it.
#pragma once

#include "tokens/GetToken.h"

CGetToken& TokenStore();
