// Machine-readable record of what the simulator saw and did: one JSON object
// per line, flushed as written, so tests can read it while the process runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

// Builds one JSON object field by field.
class JsonObject {
  public:
    JsonObject& str(const char* key, const std::string& value);
    JsonObject& num(const char* key, int64_t value);
    JsonObject& boolean(const char* key, bool value);
    JsonObject& raw(const char* key, const std::string& json);  // value already JSON
    std::string text() const { return body_ + "}"; }

  private:
    void key(const char* k);
    std::string body_ = "{";
};

std::string jsonEscape(const std::string& s);

class EventLog {
  public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool open(const std::string& path);  // false when the file cannot be made
    bool enabled() const { return file_ != nullptr; }
    // Writes {"t":<seconds since start>,"event":<event>, ...fields}.
    void write(const char* event, const JsonObject& fields);

  private:
    FILE* file_ = nullptr;
};

double secondsSinceStart();

}  // namespace sim
