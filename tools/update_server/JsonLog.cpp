#include "JsonLog.h"

#include <chrono>

JsonLog::~JsonLog() {
    if (file_) fclose(file_);
}

bool JsonLog::Open(const std::string& path) {
    file_ = fopen(path.c_str(), "a");
    return file_ != nullptr;
}

std::string JsonLog::Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buffer[8];
            snprintf(buffer, sizeof buffer, "\\u%04X", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void JsonLog::Write(const Entry& e) {
    if (!file_) return;
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string line = "{\"time\":" + std::to_string(now) + ",\"method\":" + Quote(e.method) +
                       ",\"path\":" + Quote(e.path) + ",\"target\":" + Quote(e.target) +
                       ",\"query\":[";
    for (size_t i = 0; i < e.query.size(); ++i) {
        if (i) line += ",";
        line += "[" + Quote(e.query[i].first) + "," + Quote(e.query[i].second) + "]";
    }
    line += "],\"status\":" + std::to_string(e.status) + ",\"answer\":" + Quote(e.answer) + "}\n";
    std::lock_guard<std::mutex> lock(mutex_);
    fputs(line.c_str(), file_);
    fflush(file_);
}
