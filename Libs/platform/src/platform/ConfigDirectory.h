// The configuration directory of the system: it holds the log4cplus property
// file and the token file. Callable from any thread, also during static
// initialisation.
#pragma once

#include <string>

// The value of the environment variable "ProgramData" followed by
// "\Valdrena Marine\ntrx\" (Windows form; map it with platform::NativePath before
// touching the file system). An unset variable gives a leading backslash.
std::string ConfigDirectory();
