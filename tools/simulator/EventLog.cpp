#include "EventLog.h"

#include <chrono>

namespace sim {

namespace {
const auto kStart = std::chrono::steady_clock::now();
}

double secondsSinceStart() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
}

std::string jsonEscape(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                o += "\\\"";
                break;
            case '\\':
                o += "\\\\";
                break;
            case '\n':
                o += "\\n";
                break;
            case '\r':
                o += "\\r";
                break;
            case '\t':
                o += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char b[8];
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    o += b;
                } else {
                    o += char(c);
                }
        }
    }
    return o + "\"";
}

void JsonObject::key(const char* k) {
    if (body_.size() > 1) body_ += ",";
    body_ += jsonEscape(k) + ":";
}

JsonObject& JsonObject::str(const char* k, const std::string& v) {
    key(k);
    body_ += jsonEscape(v);
    return *this;
}

JsonObject& JsonObject::num(const char* k, int64_t v) {
    key(k);
    body_ += std::to_string(v);
    return *this;
}

JsonObject& JsonObject::boolean(const char* k, bool v) {
    key(k);
    body_ += v ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::raw(const char* k, const std::string& json) {
    key(k);
    body_ += json;
    return *this;
}

EventLog::~EventLog() {
    if (file_) std::fclose(file_);
}

bool EventLog::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void EventLog::write(const char* event, const JsonObject& fields) {
    if (!file_) return;
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", secondsSinceStart());
    std::string inner = fields.text();  // "{...}"
    std::string line = std::string("{\"t\":") + t + ",\"event\":" + jsonEscape(event);
    if (inner.size() > 2)
        line += "," + inner.substr(1);
    else
        line += "}";
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

}  // namespace sim
