// One HTTP GET to the update server on libcurl's easy interface: a base URL
// and a query map in, the status code and the body out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
  public:
    explicit HTTPResponse(const std::string& request) : request(request) {}

    const std::string& get_request() const { return request; }
    int64_t get_status() const { return status; }
    // The body; callers may take it apart in place.
    std::string& get_response() { return response; }
    const std::string& get_response() const { return response; }

    void set_status(int64_t code) { status = code; }
    void process(const char* bytes, size_t count) { response.append(bytes, count); }

  private:
    std::string request;  // complete URL, query string included
    int64_t status = 0;   // HTTP status; 0 until the transfer finished
    std::string response;
};

// Takes a body as it arrives, for answers too large to keep twice.
class BodySink {
  public:
    virtual ~BodySink() = default;
    // The length the server announced, before the first Write (not called
    // when the server announced none).
    virtual void Expect(uint64_t length) {}
    // Takes the next bytes of the body.
    virtual void Write(const char* bytes, size_t count) = 0;
};

class HTTPRequest {
  public:
    // Query parameters in ascending key order, which is their order on the wire.
    typedef std::map<std::string, std::string> Query;

    // Bounds on every request: no request waits forever on a silent server.
    struct Limits {
        long connectTimeoutMs;  // TCP (and TLS) connection set-up
        long lowSpeedBytes;     // abort when fewer bytes per second arrive ...
        long lowSpeedSeconds;   // ... for this many seconds in a row
        long totalTimeoutMs;    // the whole transfer
        size_t maxBodyBytes;    // larger answers are refused
    };
    static const Limits kDefaultLimits;

    // Performs the GET. Throws std::runtime_error on every transport failure
    // with libcurl's text for the failure; any HTTP status is returned.
    static HTTPResponse GET(const std::string& url, const Query& query);
    // The same, handing the body to `sink` as it arrives; the response then
    // keeps only the first kSinkHeadBytes of the body (for diagnostics).
    static HTTPResponse GET(const std::string& url, const Query& query, BodySink* sink);
    static constexpr size_t kSinkHeadBytes = 1024;

    // Base URL, then "?" and "key=value&" for every entry; nothing is encoded,
    // so a value that needs an encoded character carries it already encoded.
    static std::string BuildRequest(const std::string& url, const Query& query);

    // Process-wide limits (tests shorten them); set before any request runs.
    static void SetLimits(const Limits& limits);
    static Limits GetLimits();
};
