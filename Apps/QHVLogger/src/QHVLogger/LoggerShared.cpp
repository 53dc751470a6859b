#include "QHVLogger/LoggerShared.h"
