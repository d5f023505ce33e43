#include <gtest/gtest.h>

#include "Lumivance2/common/aError.h"

TEST(aError, NamesAndDescriptionsAtTheTableEdges) {
    struct Case {
        aErr code;
        const char* name;
        const char* description;
    } cases[] = {
        {aErrNone, "aErrNone", "Success, no error"},
        {aErrTimeout, "aErrTimeout", "Timeout occurred"},
        {aErrShortCommand, "aErrShortCommand", "Lumivance command to short"},
        {aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
        {aErrUnknown, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {-1, "aErrUnknown", "Unknown error"},
        {INT32_MIN, "aErrUnknown", "Unknown error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(aError_GetErrorText(c.code), c.name);
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description);
    }
}

TEST(aError, EveryCodeHasItsOwnName) {
    // The numbering is a wire format: each code's name spells the code itself.
    const char* expected[] = {
        "aErrNone",           "aErrMemory",        "aErrParam",      "aErrNotFound",
        "aErrFileNameLength", "aErrBusy",          "aErrIO",         "aErrMode",
        "aErrWrite",          "aErrRead",          "aErrEOF",        "aErrNotReady",
        "aErrPermission",     "aErrRange",         "aErrSize",       "aErrOverrun",
        "aErrParse",          "aErrConfiguration", "aErrTimeout",    "aErrInitialization",
        "aErrVersion",        "aErrUnimplemented", "aErrDuplicate",  "aErrCancel",
        "aErrPacket",         "aErrConnection",    "aErrIndexRange", "aErrShortCommand",
        "aErrInvalidEntity",  "aErrInvalidOption", "aErrResource",   "aErrMedia",
        "aErrAsyncReturn",    "aErrStreamStale",   "aErrUnknown",
    };
    for (aErr code = 0; code <= aErrUnknown; ++code)
        EXPECT_STREQ(aError_GetErrorText(code), expected[code]) << code;
}
