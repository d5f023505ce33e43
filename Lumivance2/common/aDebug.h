// Process-wide trace switch of the link core: traces go to standard output
// when enabled and their bit is in the level mask. Nothing turns it on by
// default and nothing depends on the traces.
#pragma once

#include <cstdint>

extern bool aLumivanceDebuggingEnable;
extern uint32_t aLumivanceDebuggingLevel;

inline bool aDebug_IsOn(uint32_t bit) { return aLumivanceDebuggingEnable && (aLumivanceDebuggingLevel & bit); }
