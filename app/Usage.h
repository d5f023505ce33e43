// Usage text, version line and copyright line of the command-line tool.
#pragma once

#include <string>

// Block A always, B and D when full, C when full and extended.
std::string _usage_text(bool extended, bool full);
// Writes _usage_text to the standard error stream and flushes it.
void _display_usage(bool extended, bool full);

// "Version: 2.12.2 Mon D YYYY" with the build date (day without padding).
std::string _version_text();
// "Mon D YYYY" from a compiler date text "Mon DD YYYY" / "Mon  D YYYY".
std::string _format_build_date(const char* compilerDate);

extern const char* const APP_NAME;
extern const char* const COPYRIGHT_TEXT;
