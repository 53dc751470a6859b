#include "QHVLogger/QHVControl.h"
