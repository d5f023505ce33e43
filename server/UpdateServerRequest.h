// Client side of the update server's query protocol. Every request is one GET
// on the base URL with an "op" parameter; every answer is text whose first
// line begins with "ok" on success. No operation throws: a failure is a false
// result and one line in the debug log (DEBUG_ServerComm).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recovery/Fingerprint.h"

// Takes the decoded bytes of a BIRD file as its download arrives.
class BuildSink {
  public:
    virtual ~BuildSink() = default;
    // About how many bytes will come (from the announced answer length).
    virtual void Expect(size_t bytes) {}
    virtual void Write(const uint8_t* bytes, size_t count) = 0;
};

class UpdateServerRequest {
  public:
    // Build-number text to version text.
    typedef std::map<std::string, std::string> BuildList;

    // Used when a request is given no base URL.
    static const char* const default_url;

    static bool ping(const std::string& url = default_url);
    // Sets `build` from answer line 2 and `firmwareName` from line 3 (each
    // only when that line is there).
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmwareName,
                           const std::string& url = default_url);
    // Sets `content` to the base64 text of the BIRD file (answer line 2).
    static bool GetBuild(unsigned serial, const std::string& firmwareName, const std::string& build,
                         std::string& content, const std::string& url = default_url,
                         bool noCal = false);
    // GetBuild for large files: the base64 text of answer line 2 is decoded
    // while it arrives and the bytes go to `sink`; nothing is kept twice.
    // True for an "ok" answer, as GetBuild. `present` tells whether line 2
    // was there, `decoded` whether it was complete, well-formed base64 (else
    // `error` says why). After a false result the bytes given to `sink` are
    // to be discarded.
    struct StreamedBuild {
        bool present = false;
        bool decoded = false;
        std::string error;
    };
    static bool GetBuildStreamed(unsigned serial, const std::string& firmwareName,
                                 const std::string& build, BuildSink& sink, StreamedBuild& result,
                                 const std::string& url = default_url, bool noCal = false);
    // Clears `list`, then fills it from the "build;version" lines.
    static bool GetBuildList(unsigned serial, BuildList& list,
                             const std::string& url = default_url);
    // Sets `serial` (line 2, hexadecimal) and `build` (line 3, decimal, 0x hex
    // or 0 octal) for a device known only by its processor fingerprint.
    static bool GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial, uint32_t& build,
                                const std::string& url = default_url);

    // Newest version first; entries whose version is not three numbers come
    // last, in build-list order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const BuildList& list);
    // The three parts of "major.minor.patch", or an empty vector.
    static std::vector<std::string> SplitLumivanceVersion(const std::string& version);

    // Answer parsers, apart from the transport so that they can be tested and
    // fuzzed on their own. `body` is the complete answer text; each returns
    // false when the answer is not a usable "ok" answer for its request.
    static bool ParseOk(const std::string& body);
    static bool ParseQueryBuild(const std::string& body, std::string& build,
                                std::string& firmwareName);
    // Takes the body apart: on success `content` holds line 2 and `body` is
    // consumed (a BIRD file is large; it is moved, not copied).
    static bool ParseGetBuild(std::string& body, std::string& content);
    static bool ParseBuildList(const std::string& body, BuildList& list);
    static bool ParseRecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build);
};
