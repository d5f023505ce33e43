// Build download and selection: which build a device gets, its download from
// the update server into the device's directory of the store, and the server
// and local build lists.
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "Updater.h"
#include "firmware/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"

namespace {

// Decimal build number: leading blanks, then at least one digit; the
// conversion stops at the first non-digit. False when there is no digit or
// the number does not fit in 32 bits.
bool parseBuildNumber(const std::string& text, uint32_t& value) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    uint64_t v = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

// The server's build list for the device holds `build`.
bool _valid_build(unsigned serial, uint32_t build, const std::string& url) {
    UpdateServerRequest::BuildList list;
    if (!UpdateServerRequest::GetBuildList(serial, list, url)) return false;
    for (const auto& entry : list) {
        uint32_t key = 0;
        if (!parseBuildNumber(entry.first, key)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            key = 0;
        }
        if (key == build) return true;
    }
    return false;
}

// A BIRD file as its download arrives. The compressed body after the 6-byte
// header is inflated on the way, into a small scratch buffer, so a file whose
// body does not inflate completely (within BirdFile's content bound) is known
// without loading it a second time.
class DownloadedBird : public BuildSink {
  public:
    DownloadedBird() : scratch_(new uint8_t[kScratch]) {}
    ~DownloadedBird() override {
        if (inflating_) inflateEnd(&stream_);
    }
    DownloadedBird(const DownloadedBird&) = delete;
    DownloadedBird& operator=(const DownloadedBird&) = delete;

    void Expect(size_t n) override {
        if (n <= BirdFile::kMaxContentSize) bytes.reserve(n);
    }
    void Write(const uint8_t* data, size_t n) override {
        const size_t before = bytes.size();
        bytes.append(reinterpret_cast<const char*>(data), n);
        const size_t from = std::max(before, BIRD_FILE_HEADER_SIZE);
        if (bytes.size() > from) inflate(bytes.data() + from, bytes.size() - from);
    }

    // The header is a BIRD header and the body inflated to its end.
    bool Valid() const {
        return BirdFile::VerifyHeader(reinterpret_cast<const uint8_t*>(bytes.data()),
                                      bytes.size()) &&
               ended_ && !failed_;
    }

    std::string bytes;

  private:
    static constexpr size_t kScratch = 64 * 1024;

    void inflate(const char* data, size_t n) {
        if (ended_ || failed_) {
            failed_ = failed_ || ended_;  // bytes after the end of the stream
            return;
        }
        if (!inflating_) {
            memset(&stream_, 0, sizeof stream_);
            if (inflateInit(&stream_) != Z_OK) {
                failed_ = true;
                return;
            }
            inflating_ = true;
        }
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = static_cast<uInt>(n);
        while (stream_.avail_in > 0) {
            stream_.next_out = scratch_.get();
            stream_.avail_out = kScratch;
            const int result = ::inflate(&stream_, Z_NO_FLUSH);
            if (stream_.total_out > BirdFile::kMaxContentSize) {
                failed_ = true;  // more content than any BIRD file may hold
                return;
            }
            if (result == Z_STREAM_END) {
                ended_ = true;
                if (stream_.avail_in > 0) failed_ = true;
                return;
            }
            if (result != Z_OK) {
                failed_ = true;
                return;
            }
        }
    }

    z_stream stream_;
    std::unique_ptr<uint8_t[]> scratch_;
    bool inflating_ = false;
    bool ended_ = false;
    bool failed_ = false;
};

bool endsWith(const std::string& text, const char* suffix) {
    const size_t n = std::char_traits<char>::length(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

}  // namespace

uint32_t Updater::Download_Firmware(unsigned serial, std::string buildText, bool overrideCheck,
                                    bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !parseBuildNumber(buildText, build)) {
        display.message(UpdaterDisplayInterface::Error, "Build number '%s' must be an number",
                        buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::Error, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl)) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storeDirectory, "Download_Firmware");
    if (!store) return 0;

    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::exception& e) {
            Log::log(DEBUG_APP, "%s\n", e.what());
            display.message(UpdaterDisplayInterface::Error,
                            "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latest, firmwareName;
    if (!UpdateServerRequest::QueryBuild(serial, latest, firmwareName, serverUrl)) {
        display.message(UpdaterDisplayInterface::Error, "No build information for device");
        return 0;
    }
    if (build == 0 && !parseBuildNumber(latest, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        build = 0;
    }
    display.message(UpdaterDisplayInterface::Info, "Retrieving build %u", build);

    if (overrideCheck) {
        display.message(UpdaterDisplayInterface::Info,
                        "Override specified, skipping validation of build %u", build);
    } else {
        display.message(UpdaterDisplayInterface::Info, "Validating build %u with server", build);
        if (!_valid_build(serial, build, serverUrl)) {
            display.message(UpdaterDisplayInterface::Error, "No valid build %u", build);
            return 0;
        }
        display.message(UpdaterDisplayInterface::Info, "Build %u is valid", build);
    }

    // The request runs on its own thread while this one turns the spinner.
    // The transfer is bounded by the request's time-outs, so the wait ends.
    // The base64 text is decoded as it arrives (no second copy of the file).
    buildText = std::to_string(build);
    DownloadedBird download;
    UpdateServerRequest::StreamedBuild streamed;
    bool received = false;
    {
        std::promise<bool> promise;
        std::future<bool> result = promise.get_future();
        std::thread worker([&promise, &download, &streamed, serial, firmwareName, buildText,
                            url = serverUrl, noCal] {
            bool ok = false;
            try {
                ok = UpdateServerRequest::GetBuildStreamed(serial, firmwareName, buildText,
                                                           download, streamed, url, noCal);
            } catch (...) {
                ok = false;  // e.g. out of memory: reported as a failed download
            }
            promise.set_value(ok);
        });
        display.update_spinner(true, "Downloading");
        while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            display.update_spinner(true, "Downloading");
        display.update_spinner(false, "Downloading");
        received = result.get();
        worker.join();
    }
    if (!received) display.message(UpdaterDisplayInterface::Error, "Download failed");
    if (!received || !streamed.present) {
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // Nothing is stored unless the content decodes to a loadable BIRD file.
    if (!streamed.decoded) {
        display.message(UpdaterDisplayInterface::Error, "Build %u could not be decoded: %s", build,
                        streamed.error.c_str());
        return 0;
    }
    if (!download.Valid()) {
        display.message(UpdaterDisplayInterface::Error,
                        "Build %u from the server is not a valid BIRD file", build);
        return 0;
    }
    const std::string fileName = buildText + ".bird";
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(download.bytes.data());
    const size_t size = download.bytes.size();

    const std::string timeText = KeyValueStore::TimeStamp();
    const aErr written = device.WriteFile(fileName, bytes, size);
    if (written != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Failed to write file with %d",
                        static_cast<int>(written));
        return 0;
    }
    device.settings.Add(UPDATER_KEY_LATEST_DOWNLOAD, fileName);
    device.settings.Add(UPDATER_KEY_LAST_DOWNLOAD_DATE, timeText);
    if (!device.settings.Save()) {
        display.message(UpdaterDisplayInterface::Error, "Failed to record the download in %s",
                        device.settings.Path().c_str());
        return 0;
    }
    return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, std::string buildText,
                                    bool overrideCheck) {
    uint32_t build = 0;
    if (!parseBuildNumber(buildText, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
    }
    uint32_t serial = 0, defaultBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, defaultBuild, serverUrl)) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to retrieve recovery information from Morvanex update server");
        return 0;
    }
    if (build == 0) build = defaultBuild;
    return Download_Firmware(serial, std::to_string(build), overrideCheck, false);
}

BuildList Updater::Get_BuildList(unsigned serial) {
    BuildList list;
    if (!UpdateServerRequest::ping(serverUrl)) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return list;
    }
    if (!UpdateServerRequest::GetBuildList(serial, list, serverUrl))
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X",
                        serial);
    return list;
}

BuildList Updater::Get_BuildListLocal(unsigned serial) {
    BuildList list;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storeDirectory, "Get_BuildListLocal");
    if (!store) return list;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        // Only stored builds count, not other files a user left there.
        if (item.type != STORE_ITEM_FILE || !endsWith(item.name, ".bird")) continue;
        const std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (!item.basePath.empty() && !item.name.empty()) {
            const std::string path = BuildPath({item.basePath, item.name});
            if (BirdFile::VerifyFile(path)) {
                try {
                    version = BirdFile(path).GetVersion();
                    if (!version.empty())
                        Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: %s\n",
                                 path.c_str(), version.c_str());
                } catch (const std::exception&) {
                    version.clear();  // passes the header check but does not load
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        list.emplace(key, version);
    }
    return list;
}
