#include "aDebug.h"

bool aLumivanceDebuggingEnable = false;
uint32_t aLumivanceDebuggingLevel = 0;
