#include "Catalog.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "firmware/BirdFile.h"

const char* const Catalog::kDefaultFirmwareName = "lumivance-fw";

namespace {

// "NNN.bird" with 1 to 10 digits that fit in 32 bits.
bool buildFileName(const std::string& name, uint32_t& build) {
    const size_t dot = name.size() >= 5 ? name.size() - 5 : 0;
    if (dot == 0 || dot > 10 || name.compare(dot, 5, ".bird") != 0) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < dot; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    build = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

std::string Catalog::SerialName(uint32_t serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::map<uint32_t, std::string> Catalog::Builds(uint32_t serial) const {
    std::map<uint32_t, std::string> builds;
    const std::string dir = root_ + "/" + SerialName(serial);
    DIR* d = opendir(dir.c_str());
    if (!d) return builds;
    while (const dirent* entry = readdir(d)) {
        uint32_t build = 0;
        if (buildFileName(entry->d_name, build)) builds[build] = dir + "/" + entry->d_name;
    }
    closedir(d);
    return builds;
}

std::string Catalog::FirmwareName(uint32_t serial) const {
    std::ifstream in(root_ + "/" + SerialName(serial) + "/firmware.txt");
    std::string line;
    if (in && std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) return line;
    }
    return kDefaultFirmwareName;
}

std::string Catalog::Version(const std::string& path) {
    // Versions are remembered per file, keyed by its size and change time, so
    // a build list does not inflate every file on every request.
    struct Known {
        off_t size;
        struct timespec changed;
        std::string version;
    };
    static std::mutex mutex;
    static std::map<std::string, Known> known;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = known.find(path);
        if (found != known.end() && found->second.size == st.st_size &&
            found->second.changed.tv_sec == st.st_mtim.tv_sec &&
            found->second.changed.tv_nsec == st.st_mtim.tv_nsec)
            return found->second.version;
    }
    std::string version;
    try {
        version = BirdFile(path).GetVersion();
    } catch (const std::exception&) {
        version.clear();
    }
    std::lock_guard<std::mutex> lock(mutex);
    known[path] = Known{st.st_size, st.st_mtim, version};
    return version;
}

bool Catalog::ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0) return false;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(&bytes[0], size));
}

std::optional<Catalog::Recovery> Catalog::LookupFingerprint(const uint32_t words[4]) const {
    std::ifstream in(root_ + "/fingerprints.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string w[4], serial, build;
        if (!(fields >> w[0] >> w[1] >> w[2] >> w[3] >> serial)) continue;
        fields >> build;
        bool match = true;
        try {
            for (int i = 0; i < 4 && match; ++i) match = std::stoul(w[i], nullptr, 16) == words[i];
            if (match)
                return Recovery{
                    static_cast<uint32_t>(std::stoul(serial, nullptr, 16)),
                    build.empty() ? 0u : static_cast<uint32_t>(std::stoul(build, nullptr, 10))};
        } catch (const std::exception&) {
            continue;  // a malformed line matches nothing
        }
    }
    return std::nullopt;
}
