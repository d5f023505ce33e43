#include "Updater.h"

Updater::Updater(const std::string& url, const std::string& directory, UpdaterDisplayInterface& display)
    : serverUrl(url), storeDirectory(directory), display(display) {}
