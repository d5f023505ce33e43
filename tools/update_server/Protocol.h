// The query protocol on /cgi/u: one answer per request, computed from the
// query parameters and the catalog, with optional injected faults.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Catalog.h"

// A fault applies to one operation, or to every operation when `op` is empty.
struct Fault {
    std::string mode;
    std::string op;
};

// Modes: stall, slow (answers after 1.5 s), not-ok, http-500, empty, truncated, absurd (every operation
// by default) and bad-base64, bad-length, not-bird (the download only).
bool ParseFault(const std::string& text, Fault& fault, std::string& error);

struct Answer {
    int status = 200;
    std::string body;
    bool stall = false;  // hold the connection and never answer
    // First line of the body, or a word for the log.
    std::string Summary() const;
};

// Decoded query parameters; a repeated key counts as a bad parameter.
typedef std::multimap<std::string, std::string> Params;

Answer Respond(const Params& params, const Catalog& catalog, const std::vector<Fault>& faults);
