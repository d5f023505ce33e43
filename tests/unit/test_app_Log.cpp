// Debug log: the package mask decides what is printed, text goes out as formatted.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/Log.h"

namespace {

TEST(Log, PackageMaskDecidesWhatIsPrinted) {
    char buffer[8192] = {};
    FILE* stream = fmemopen(buffer, sizeof(buffer) - 1, "w");
    ASSERT_NE(nullptr, stream);
    setvbuf(stream, nullptr, _IONBF, 0);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::SetOutput(stream);
    Log::log(0, "always %d\n", 0);
    Log::log(DEBUG_Network_FIRM, "hidden\n");
    Log::ActivatePackage(0x400);
    Log::ActivatePackage(0x10);
    EXPECT_EQ(0x410u, Log::package_bitmask);
    Log::log(DEBUG_Network_FIRM, "firm ");
    Log::log(DEBUG_Network_FIRM | DEBUG_APP, "either\n");
    Log::DeactivatePackage(0x400);
    Log::log(DEBUG_Network_FIRM, "hidden again\n");
    Log::log(DEBUG_APP, "%s", std::string(3000, 'b').c_str());
    Log::ActivatePackage(DEBUG_APP);
    Log::log(DEBUG_APP, "%s", std::string(3000, 'c').c_str());
    Log::SetOutput(nullptr);
    Log::log(0, "no stream: nothing\n");
    Log::DeactivatePackage(0xFFFFFFFF);
    fclose(stream);
    EXPECT_EQ("always 0\nfirm either\n" + std::string(2047, 'c'), std::string(buffer));
}

}  // namespace
