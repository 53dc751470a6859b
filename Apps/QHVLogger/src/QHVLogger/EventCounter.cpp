// Input frequency supervision of the heave logger.
#include "QHVLogger/EventCounter.h"
