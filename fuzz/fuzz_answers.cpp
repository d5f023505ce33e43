// Fuzzes the update server answer parsers and the base64 decoder with
// arbitrary answer bodies, checking what each parser promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/Base64.h"
#include "server/UpdateServerRequest.h"

namespace {

void check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const bool ok = UpdateServerRequest::ParseOk(body);

    std::string build = "b", name = "n";
    const bool queried = UpdateServerRequest::ParseQueryBuild(body, build, name);
    check(!queried || ok);
    if (queried)
        check(name.size() <= 256 && name.find_first_of(" \r\n&#?") == std::string::npos);
    else
        check(build == "b" && name == "n");

    std::string copy = body, content = "c";
    const bool got = UpdateServerRequest::ParseGetBuild(copy, content);
    check(got == ok);
    check(content.find('\n') == std::string::npos);
    if (got) {
        // The decoder either rejects the content or yields exactly its length.
        const size_t expected = Base64::DecodedLength(content.data(), content.size());
        std::string decoded = content;
        if (Base64::DecodeInPlace(decoded)) {
            check(decoded.size() == expected);
            // Re-encoding gives the same text up to the unused bits of padding.
            const std::string again =
                Base64::Encode(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size());
            check(again.size() == content.size());
        } else {
            check(decoded == content);
        }
    }

    UpdateServerRequest::BuildList list = {{"x", "y"}};
    check(UpdateServerRequest::ParseBuildList(body, list) == ok);
    for (const auto& entry : list) {
        check(!entry.first.empty());
        check(entry.first.find_first_of(";\r\n") == std::string::npos);
        check(entry.second.find_first_of(";\r\n") == std::string::npos);
    }
    check(UpdateServerRequest::SortBuildsByVersion(list).size() == list.size());

    uint32_t serial = 7, rbuild = 9;
    if (!UpdateServerRequest::ParseRecoveryInfo(body, serial, rbuild))
        check(serial == 7 && rbuild == 9);

    // The raw input as base64 text, too, whole and as a stream cut in two.
    std::string text = body;
    const size_t expected = Base64::DecodedLength(text.data(), text.size());
    const bool whole = Base64::DecodeInPlace(text);
    if (whole)
        check(text.size() == expected);
    else
        check(text == body);
    const size_t cut = size ? data[0] % (size + 1) : 0;
    Base64::StreamDecoder stream;
    std::string out(Base64::StreamDecoder::MaxOutput(size) + 3, '\0');
    uint8_t* o = reinterpret_cast<uint8_t*>(&out[0]);
    size_t n = stream.Feed(body.data(), cut, o);
    n += stream.Feed(body.data() + cut, size - cut, o + n);
    check(stream.Finish() == whole);
    if (whole) check(out.compare(0, n, text) == 0 && n == text.size());
    return 0;
}
