#include "UpdateServerRequest.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "Base64.h"
#include "HTTPRequest.h"
#include "app/Log.h"

// The same host as the command line's default HTTP server.
const char* const UpdateServerRequest::default_url = "http://updates.lumivance.example/cgi/u";

namespace {

// Longest firmware name that is passed back to the server in a request.
constexpr size_t kMaxFirmwareName = 256;

// The non-empty lines of an answer, split at "\n"; a "\r" stays in its line.
std::vector<std::string_view> splitLines(std::string_view body, size_t maxLines = SIZE_MAX) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < body.size() && lines.size() < maxLines) {
        size_t end = body.find('\n', pos);
        if (end == std::string_view::npos) end = body.size();
        if (end > pos) lines.push_back(body.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

bool beginsWithOk(const std::vector<std::string_view>& lines) {
    return !lines.empty() && lines[0].size() >= 2 && lines[0][0] == 'o' && lines[0][1] == 'k';
}

// A firmware name goes back into a request unencoded, so it must not carry
// characters that would change that request.
bool usableFirmwareName(std::string_view name) {
    if (name.size() > kMaxFirmwareName) return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7F || c == '&' || c == '#' || c == '?') return false;
    return true;
}

// Unsigned conversion that stops at the first character that does not fit
// the base; a value that does not fit in 32 bits is refused.
bool toUint32(std::string_view text, int base, uint32_t& value) {
    const std::string copy(text);
    errno = 0;
    const unsigned long long v = std::strtoull(copy.c_str(), nullptr, base);
    // A minus sign makes strtoull negate, which also lands above 32 bits.
    if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Pieces of `line` between the separators, empty pieces dropped.
std::vector<std::string_view> tokens(std::string_view line, const char* separators, size_t max) {
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (out.size() < max) {
        pos = line.find_first_not_of(separators, pos);
        if (pos == std::string_view::npos) break;
        size_t end = line.find_first_of(separators, pos);
        if (end == std::string_view::npos) end = line.size();
        out.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

// One request of the protocol: GET, status check, then the answer parser.
template <typename Parser>
bool perform(const char* name, const std::string& url, const HTTPRequest::Query& query,
             Parser parse, BodySink* sink = nullptr) {
    try {
        HTTPResponse response = HTTPRequest::GET(url, query, sink);
        if (response.get_status() != 200) {
            if (std::strcmp(name, "ping") == 0)
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                         static_cast<int>(response.get_status()), response.get_response().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                         static_cast<int>(response.get_status()), response.get_response().c_str());
            return false;
        }
        if (!parse(response.get_response())) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     response.get_request().c_str());
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

// Follows a download answer as it arrives: the "ok" line, then line 2
// decoded from base64 straight into the sink.
class BuildAnswerStream : public BodySink {
  public:
    explicit BuildAnswerStream(BuildSink& sink) : sink_(sink) {}

    void Expect(uint64_t length) override { sink_.Expect(static_cast<size_t>(length / 4 * 3)); }

    void Write(const char* bytes, size_t count) override {
        size_t i = 0;
        while (i < count && state_ != kDone) {
            const char c = bytes[i];
            switch (state_) {
                case kFirstLine:
                    if (c == '\n') {
                        if (lineLength_ > 0) state_ = ok() ? kGap : kDone;
                    } else if (lineLength_++ < 2) {
                        head_[lineLength_ - 1] = c;
                    }
                    ++i;
                    break;
                case kGap:
                    if (c == '\n') {
                        ++i;
                    } else {
                        state_ = kContent;
                        present_ = true;
                    }
                    break;
                case kContent: {
                    const char* end = static_cast<const char*>(memchr(bytes + i, '\n', count - i));
                    const size_t n = end ? static_cast<size_t>(end - (bytes + i)) : count - i;
                    decode(bytes + i, n);
                    i += n;
                    if (end) state_ = kDone;
                    break;
                }
                case kDone:
                    break;
            }
        }
    }

    bool ok() const { return lineLength_ >= 2 && head_[0] == 'o' && head_[1] == 'k'; }
    bool present() const { return present_; }
    Base64::StreamDecoder& decoder() { return decoder_; }

  private:
    void decode(const char* text, size_t n) {
        if (decoder_.Failed() || n == 0) return;
        scratch_.resize(Base64::StreamDecoder::MaxOutput(n));
        const size_t produced = decoder_.Feed(text, n, scratch_.data());
        if (produced) sink_.Write(scratch_.data(), produced);
    }

    enum State { kFirstLine, kGap, kContent, kDone };
    BuildSink& sink_;
    State state_ = kFirstLine;
    size_t lineLength_ = 0;
    char head_[2] = {0, 0};
    bool present_ = false;
    Base64::StreamDecoder decoder_;
    std::vector<uint8_t> scratch_;
};

}  // namespace

bool UpdateServerRequest::ParseOk(const std::string& body) {
    return beginsWithOk(splitLines(body, 1));
}

bool UpdateServerRequest::ParseQueryBuild(const std::string& body, std::string& build,
                                          std::string& firmwareName) {
    const auto lines = splitLines(body, 3);
    if (!beginsWithOk(lines)) return false;
    std::string_view name;
    if (lines.size() > 2) {
        name = lines[2].substr(0, lines[2].find('\r'));
        if (!usableFirmwareName(name)) {
            Log::log(DEBUG_ServerComm, "QueryBuild: unusable firmware name [%.40s]\n",
                     std::string(name).c_str());
            return false;
        }
    }
    if (lines.size() > 1) build.assign(lines[1]);
    if (lines.size() > 2) firmwareName.assign(name);
    return true;
}

bool UpdateServerRequest::ParseGetBuild(std::string& body, std::string& content) {
    const auto lines = splitLines(body, 2);
    if (!beginsWithOk(lines)) return false;
    content.clear();
    if (lines.size() > 1) {
        // Cut the body down to line 2 in place and hand the buffer over.
        const size_t start = static_cast<size_t>(lines[1].data() - body.data());
        const size_t length = lines[1].size();
        body.resize(start + length);
        body.erase(0, start);
        content = std::move(body);
        body.clear();
    }
    return true;
}

bool UpdateServerRequest::ParseBuildList(const std::string& body, BuildList& list) {
    list.clear();
    const auto lines = splitLines(body);
    if (!beginsWithOk(lines)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string line(lines[i]);
        if (line.size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        const auto pieces = tokens(line, ";\r\n", 2);
        if (pieces.empty()) continue;
        const std::string build(pieces[0]);
        const std::string version = pieces.size() > 1 ? std::string(pieces[1]) : std::string();
        list.emplace(build, version);  // an existing key keeps its first value
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(const std::string& body, uint32_t& serial,
                                            uint32_t& build) {
    const auto lines = splitLines(body, 3);
    if (!beginsWithOk(lines)) return false;
    uint32_t s = serial, b = build;
    if (lines.size() > 1 && !toUint32(lines[1], 16, s)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: serial number out of range [%.20s]\n",
                 std::string(lines[1]).c_str());
        return false;
    }
    if (lines.size() > 2 && !toUint32(lines[2], 0, b)) {
        Log::log(DEBUG_ServerComm, "GetRecoveryInfo: build number out of range [%.20s]\n",
                 std::string(lines[2]).c_str());
        return false;
    }
    serial = s;
    build = b;
    const std::string l1(lines[0]), l2(lines.size() > 1 ? lines[1] : ""),
        l3(lines.size() > 2 ? lines[2] : "");
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", l1.c_str(),
             l2.c_str(), l3.c_str());
    return true;
}

static std::string hex8(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

bool UpdateServerRequest::ping(const std::string& url) {
    return perform("ping", url, {{"op", "hi"}, {"rv", "2"}},
                   [](std::string& body) { return ParseOk(body); });
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmwareName,
                                     const std::string& url) {
    return perform("QueryBuild", url, {{"op", "qu"}, {"sn", hex8(serial)}},
                   [&](std::string& body) { return ParseQueryBuild(body, build, firmwareName); });
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& firmwareName,
                                   const std::string& build, std::string& content,
                                   const std::string& url, bool noCal) {
    const HTTPRequest::Query query = {{"bld", build},
                                      {"fw", firmwareName},
                                      {"no_cal", noCal ? "true" : "false"},
                                      {"op", "bird"},
                                      {"sn", hex8(serial)}};
    return perform("GetBuild", url, query,
                   [&](std::string& body) { return ParseGetBuild(body, content); });
}

bool UpdateServerRequest::GetBuildStreamed(unsigned serial, const std::string& firmwareName,
                                           const std::string& build, BuildSink& sink,
                                           StreamedBuild& result, const std::string& url,
                                           bool noCal) {
    const HTTPRequest::Query query = {{"bld", build},
                                      {"fw", firmwareName},
                                      {"no_cal", noCal ? "true" : "false"},
                                      {"op", "bird"},
                                      {"sn", hex8(serial)}};
    BuildAnswerStream stream(sink);
    result = StreamedBuild();
    const bool ok = perform(
        "GetBuild", url, query, [&](std::string&) { return stream.ok(); }, &stream);
    if (!ok) return false;
    result.present = stream.present();
    result.decoded = result.present && stream.decoder().Finish();
    if (result.present && !result.decoded) result.error = stream.decoder().Error();
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& list, const std::string& url) {
    list.clear();
    return perform("GetBuildList", url, {{"op", "builds"}, {"sn", hex8(serial)}},
                   [&](std::string& body) { return ParseBuildList(body, list); });
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial,
                                          uint32_t& build, const std::string& url) {
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint.words[0],
             fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
    return perform("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}},
                   [&](std::string& body) { return ParseRecoveryInfo(body, serial, build); });
}

std::vector<std::string> UpdateServerRequest::SplitLumivanceVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (true) {
        const size_t dot = version.find('.', pos);
        parts.push_back(
            version.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos));
        if (dot == std::string::npos) break;
        pos = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

namespace {

// The version as three 8-bit numbers; false when it is not three numbers.
bool parseVersion(const std::string& version, uint8_t out[3]) {
    const auto parts = UpdateServerRequest::SplitLumivanceVersion(version);
    if (parts.size() != 3) return false;
    try {
        for (int i = 0; i < 3; ++i) out[i] = static_cast<uint8_t>(std::stoi(parts[i]));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const BuildList& list) {
    // Each entry is parsed once; entries without a usable version are kept
    // behind the others in build-list order, so the order is a consistent one.
    struct Entry {
        std::pair<std::string, std::string> build;
        bool valid;
        uint8_t version[3];
    };
    std::vector<Entry> entries;
    entries.reserve(list.size());
    for (const auto& item : list) {
        Entry e{item, false, {0, 0, 0}};
        e.valid = parseVersion(item.second, e.version);
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.valid != b.valid) return a.valid;
        if (!a.valid) return false;
        return std::lexicographical_compare(b.version, b.version + 3, a.version, a.version + 3);
    });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (auto& e : entries) sorted.push_back(std::move(e.build));
    return sorted;
}
