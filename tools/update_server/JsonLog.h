// The request log: one JSON object per line, written and flushed whole, so a
// test can read it while the server runs.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class JsonLog {
  public:
    JsonLog() = default;
    ~JsonLog();
    JsonLog(const JsonLog&) = delete;
    JsonLog& operator=(const JsonLog&) = delete;

    bool Open(const std::string& path);

    struct Entry {
        std::string method, path, target;
        std::vector<std::pair<std::string, std::string>> query;  // as received, in order
        int status = 0;
        std::string answer;  // first line of the answer, or "stall"
    };
    void Write(const Entry& entry);

    // JSON string literal of arbitrary bytes (bytes above 0x7F as \u00XX).
    static std::string Quote(const std::string& text);

  private:
    std::mutex mutex_;
    FILE* file_ = nullptr;
};
