// Splits option values of the form "key=value,key=value,..." into pairs, in
// order; empty items are skipped and an item without '=' has an empty value.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim {

inline std::vector<std::pair<std::string, std::string>> splitKeyValueList(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> items;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        items.emplace_back(item.substr(0, eq), eq == std::string::npos ? "" : item.substr(eq + 1));
    }
    return items;
}

}  // namespace sim
