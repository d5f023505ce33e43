#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "app/Log.h"

// Connection set-up within 10 s; a transfer that moves less than 1 KiB/s for
// 20 s in a row, or takes more than 15 minutes, is abandoned; an answer over
// 256 MiB is refused (BIRD files are a few MiB).
const HTTPRequest::Limits HTTPRequest::kDefaultLimits = {10000, 1024, 20, 15 * 60 * 1000,
                                                         256u * 1024u * 1024u};

namespace {

std::mutex limitsMutex;
HTTPRequest::Limits limits = HTTPRequest::kDefaultLimits;

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
typedef std::unique_ptr<CURL, CurlDeleter> CurlHandle;

// What the write callback fills and checks.
struct Target {
    HTTPResponse* response;
    BodySink* sink;  // when set, the body goes here
    CURL* handle;
    size_t maxBytes;
    size_t received;
    bool tooLarge;
    bool started;
};

size_t _rcv_data(char* chunk, size_t size, size_t count, void* target) {
    Target* t = static_cast<Target*>(target);
    const size_t n = size * count;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(t->response)),
             static_cast<int>(std::min<size_t>(n, 100)), chunk);
    std::string& body = t->response->get_response();
    if (!t->started) {
        // Size the body once from the announced length instead of growing it
        // step by step (a large BIRD file would otherwise be copied many times).
        t->started = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(t->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0) {
            if (static_cast<uint64_t>(announced) > t->maxBytes) {
                t->tooLarge = true;
                return 0;
            }
            if (t->sink)
                t->sink->Expect(static_cast<uint64_t>(announced));
            else
                body.reserve(static_cast<size_t>(announced));
        }
    }
    if (n > t->maxBytes - t->received) {
        t->tooLarge = true;
        return 0;  // makes libcurl stop the transfer
    }
    t->received += n;
    if (t->sink) {
        if (body.size() < HTTPRequest::kSinkHeadBytes)
            t->response->process(chunk, std::min(n, HTTPRequest::kSinkHeadBytes - body.size()));
        t->sink->Write(chunk, n);
    } else {
        t->response->process(chunk, n);
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(n));
    return n;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void HTTPRequest::SetLimits(const Limits& l) {
    std::lock_guard<std::mutex> lock(limitsMutex);
    limits = l;
}

HTTPRequest::Limits HTTPRequest::GetLimits() {
    std::lock_guard<std::mutex> lock(limitsMutex);
    return limits;
}

std::string HTTPRequest::BuildRequest(const std::string& url, const Query& query) {
    std::string text = url;
    if (!query.empty()) text += "?";
    for (const auto& entry : query) {
        text += entry.first;
        text += "=";
        text += entry.second;
        text += "&";
    }
    return text;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Query& query) {
    return GET(url, query, nullptr);
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Query& query, BodySink* sink) {
    initialiseCurlOnce();
    CurlHandle handle(curl_easy_init());
    HTTPResponse result(BuildRequest(url, query));
    if (!handle) throw std::runtime_error("Could not create curl instance");

    const Limits l = GetLimits();
    Target target = {&result, sink, handle.get(), l.maxBodyBytes, 0, false, false};
    char detail[CURL_ERROR_SIZE] = {0};
    CURL* h = handle.get();

    // The server's certificate is verified against the system's authorities
    // and its name against the URL's host. No signals are used for time-outs
    // (requests also run on the download thread), and only HTTP(S) is spoken.
    CURLcode code = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_WRITEDATA, &target);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_URL, result.get_request().c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, l.connectTimeoutMs);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, l.lowSpeedBytes);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, l.lowSpeedSeconds);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, l.totalTimeoutMs);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);

    Log::log(DEBUG_ServerComm, "GET(%s)\n", result.get_request().c_str());

    long status = 0;
    if (code == CURLE_OK) code = curl_easy_perform(h);
    if (code == CURLE_OK) code = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (target.tooLarge)
        throw std::runtime_error("Answer larger than " + std::to_string(l.maxBodyBytes) + " bytes");
    if (code != CURLE_OK) {
        if (detail[0]) Log::log(DEBUG_ServerComm, "GET: %s\n", detail);
        throw std::runtime_error(curl_easy_strerror(code));
    }
    result.set_status(status);
    return result;
}
