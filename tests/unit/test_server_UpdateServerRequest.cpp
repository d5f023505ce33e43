#include <gtest/gtest.h>

#include "app/Log.h"
#include "server/UpdateServerRequest.h"
#include "test_server_scripted_server.h"

namespace {

typedef UpdateServerRequest USR;

TEST(UpdateServerRequest, OkLineDecides) {
    const struct {
        const char* body;
        bool ok;
    } cases[] = {
        {"ok", true},     {"okay\n", true}, {"\n\nok\n", true},
        {"ok\r\n", true}, {"", false},      {"\n\n", false},
        {"o", false},     {"OK\n", false},  {"error\nok\n", false},
        {" ok\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(USR::ParseOk(c.body), c.ok) << "[" << c.body << "]";
}

TEST(UpdateServerRequest, QueryBuildAnswers) {
    const struct {
        const char* body;
        bool ok;
        const char* build;  // expected outputs; "old" means untouched
        const char* name;
    } cases[] = {
        {"ok\n1234\nfirmware-x\r\n", true, "1234", "firmware-x"},
        {"ok\n\n1234\r\n\nfw\rjunk\n", true, "1234\r", "fw"},  // blank lines do not count
        {"ok\n1234\n", true, "1234", "old"},
        {"ok\n", true, "old", "old"},
        {"error\n1234\nfw\n", false, "old", "old"},
        {"", false, "old", "old"},
        {"ok\n1\nname with space\n", false, "old", "old"},  // would change the next request
        {"ok\n1\nfw&op=x\n", false, "old", "old"},
        {"ok\n99999999999999999999\nfw\n", true, "99999999999999999999",
         "fw"},  // the caller converts
    };
    for (const auto& c : cases) {
        std::string build = "old", name = "old";
        EXPECT_EQ(USR::ParseQueryBuild(c.body, build, name), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(name, c.name) << c.body;
    }
    std::string build, name;
    EXPECT_FALSE(USR::ParseQueryBuild("ok\n1\n" + std::string(300, 'n') + "\n", build, name));
}

TEST(UpdateServerRequest, GetBuildAnswers) {
    const struct {
        const char* body;
        bool ok;
        const char* content;
    } cases[] = {
        {"ok\nYmlyZA==\n", true, "YmlyZA=="},
        {"ok\n\nYmlyZA==\r\n", true, "YmlyZA==\r"},  // the CR stays and will not decode
        {"ok\nYmly", true, "Ymly"},                  // cut short: what arrived
        {"ok\n", true, ""},
        {"nope\nYmlyZA==\n", false, "old"},
        {"", false, "old"},
    };
    for (const auto& c : cases) {
        std::string body = c.body, content = "old";
        EXPECT_EQ(USR::ParseGetBuild(body, content), c.ok) << c.body;
        EXPECT_EQ(content, c.content) << c.body;
    }
}

TEST(UpdateServerRequest, BuildListAnswers) {
    USR::BuildList list = {{"stale", "1"}};
    ASSERT_TRUE(USR::ParseBuildList("ok\n1234;2.12.2\n\n99\n1233;2.12.1\r\n1234;9.9.9\n", list));
    EXPECT_EQ(list, (USR::BuildList{{"1233", "2.12.1"}, {"1234", "2.12.2"}}));

    ASSERT_TRUE(USR::ParseBuildList("ok\n;;;\n777\r\n55;\n;66;1.0.0\n", list));
    EXPECT_EQ(list, (USR::BuildList{{"55", ""}, {"66", "1.0.0"}, {"777", ""}}));

    list = {{"stale", "1"}};
    EXPECT_FALSE(USR::ParseBuildList("fail\n1;2.0.0\n", list));
    EXPECT_TRUE(list.empty());
    ASSERT_TRUE(USR::ParseBuildList("ok\n", list));
    EXPECT_TRUE(list.empty());
}

TEST(UpdateServerRequest, RecoveryInfoAnswers) {
    const struct {
        const char* body;
        bool ok;
        uint32_t serial, build;  // 7 and 9 mean untouched
    } cases[] = {
        {"ok\n00001A2B\n0x10\n", true, 0x1A2B, 16},
        {"ok\n1A2B\n010\n", true, 0x1A2B, 8},
        {"ok\n1a2bZZ\r\n42\r\n", true, 0x1A2B, 42},
        {"ok\nFFFFFFFF\n4294967295\n", true, 0xFFFFFFFF, 4294967295u},
        {"ok\n1A2B\n", true, 0x1A2B, 9},
        {"ok\n", true, 7, 9},
        {"ok\n100000000\n1\n", false, 7, 9},  // absurd: more than 32 bits
        {"ok\n1\n4294967296\n", false, 7, 9},
        {"ok\n1\n-1\n", false, 7, 9},
        {"ok\n1\n0x1FFFFFFFFFFFFFFFFFFFF\n", false, 7, 9},
        {"no\n1\n2\n", false, 7, 9},
    };
    for (const auto& c : cases) {
        uint32_t serial = 7, build = 9;
        EXPECT_EQ(USR::ParseRecoveryInfo(c.body, serial, build), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(UpdateServerRequest, SplitsVersions) {
    EXPECT_EQ(USR::SplitLumivanceVersion("2.12.2"), (std::vector<std::string>{"2", "12", "2"}));
    EXPECT_EQ(USR::SplitLumivanceVersion("a..b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(USR::SplitLumivanceVersion("2.12").empty());
    EXPECT_TRUE(USR::SplitLumivanceVersion("1.2.3.4").empty());
    EXPECT_TRUE(USR::SplitLumivanceVersion("").empty());
}

TEST(UpdateServerRequest, SortsNewestVersionFirstAndKeepsEveryEntry) {
    typedef std::vector<std::pair<std::string, std::string>> Sorted;
    EXPECT_EQ(USR::SortBuildsByVersion({{"1", "2.12.2"}, {"2", "2.9.10"}, {"3", "2.12.10"}}),
              (Sorted{{"3", "2.12.10"}, {"1", "2.12.2"}, {"2", "2.9.10"}}));
    // 256 wraps to 0 in each part.
    EXPECT_EQ(USR::SortBuildsByVersion({{"a", "1.256.0"}, {"b", "1.0.1"}}),
              (Sorted{{"b", "1.0.1"}, {"a", "1.256.0"}}));
    // Versions that are not three numbers go last, in key order.
    EXPECT_EQ(
        USR::SortBuildsByVersion(
            {{"10", ""}, {"11", "1.0.0"}, {"12", "x.y.z"}, {"13", "3.0"}, {"14", "2.0.0"}}),
        (Sorted{{"14", "2.0.0"}, {"11", "1.0.0"}, {"10", ""}, {"12", "x.y.z"}, {"13", "3.0"}}));
    EXPECT_TRUE(USR::SortBuildsByVersion({}).empty());

    // A larger mixed list: the sort terminates and keeps every entry.
    USR::BuildList many;
    for (int i = 0; i < 500; ++i)
        many[std::to_string(i)] =
            (i % 3 == 0) ? "bad" : std::to_string(i % 7) + "." + std::to_string(i % 5) + ".1";
    EXPECT_EQ(USR::SortBuildsByVersion(many).size(), many.size());
}

// Every operation against a scripted server: the exact request and the use
// of the answer.
TEST(UpdateServerRequest, RequestsOnTheWire) {
    ScriptedServer server({
        ScriptedServer::Http(200, "ok\n"),
        ScriptedServer::Http(200, "ok\n1234\nfirmware-x\r\n"),
        ScriptedServer::Http(200, "ok\nYmlyZA==\n", 3),
        ScriptedServer::Http(200, "ok\n1234;2.12.2\n1233;2.12.1\r\n"),
        ScriptedServer::Http(200, "ok\n00001A2B\n0x10\n"),
        ScriptedServer::Http(500, "ok\n"),
        ScriptedServer::Http(200, ""),
    });
    const std::string url = server.url();
    EXPECT_TRUE(USR::ping(url));
    std::string build, name, content;
    EXPECT_TRUE(USR::QueryBuild(0x1A2B, build, name, url));
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(name, "firmware-x");
    EXPECT_TRUE(USR::GetBuild(0x1A2B, "F", "1234", content, url, false));
    EXPECT_EQ(content, "YmlyZA==");
    USR::BuildList list;
    EXPECT_TRUE(USR::GetBuildList(0x40F5849A, list, url));
    EXPECT_EQ(list, (USR::BuildList{{"1233", "2.12.1"}, {"1234", "2.12.2"}}));
    Fingerprint fp;
    fp.words[0] = 1, fp.words[1] = 2, fp.words[2] = 3, fp.words[3] = 4;
    uint32_t serial = 0, rbuild = 0;
    EXPECT_TRUE(USR::GetRecoveryInfo(fp, serial, rbuild, url));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(rbuild, 16u);
    EXPECT_FALSE(USR::ping(url));  // status 500 despite an "ok" body
    content = "old";
    EXPECT_FALSE(USR::GetBuild(1, "F", "1", content, url, true));  // empty body
    EXPECT_EQ(content, "old");

    EXPECT_EQ(server.targets(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&",
                  "/cgi/u?op=qu&sn=00001A2B&",
                  "/cgi/u?bld=1234&fw=F&no_cal=false&op=bird&sn=00001A2B&",
                  "/cgi/u?op=builds&sn=40F5849A&",
                  "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
                  "/cgi/u?op=hi&rv=2&",
                  "/cgi/u?bld=1&fw=F&no_cal=true&op=bird&sn=00000001&",
              }));
}

// The streamed download decodes line 2 as it arrives, whatever the pieces.
TEST(UpdateServerRequest, StreamedDownload) {
    struct Collect : BuildSink {
        std::string bytes;
        size_t expected = 0;
        void Expect(size_t n) override { expected = n; }
        void Write(const uint8_t* p, size_t n) override {
            bytes.append(reinterpret_cast<const char*>(p), n);
        }
    };
    const struct {
        const char* body;
        int status;
        bool ok, present, decoded;
        const char* bytes;
        const char* error;
    } cases[] = {
        {"ok\n\nYmlyZA==\nafter\n", 200, true, true, true, "bird", ""},
        {"\nokay\nYmlyZGll\r\n", 200, true, true, false, "birdie", "0x0D at offset 8"},
        {"ok\nYmly*A==\n", 200, true, true, false, "bir", "'*' at offset 4"},
        {"ok\nYmlyZA\n", 200, true, true, false, "bir", "length 6"},
        {"ok\n", 200, true, false, false, "", ""},
        {"ok", 200, true, false, false, "", ""},
        {"error\nYmlyZA==\n", 200, false, false, false, "", ""},
        {"", 200, false, false, false, "", ""},
        {"ok\nYmlyZA==\n", 500, false, false, false, "bird", ""},
    };
    std::vector<ScriptedServer::Reply> replies;
    for (const auto& c : cases) replies.push_back(ScriptedServer::Http(c.status, c.body, 3));
    ScriptedServer server(replies);
    for (const auto& c : cases) {
        Collect sink;
        USR::StreamedBuild result;
        EXPECT_EQ(USR::GetBuildStreamed(0x1A2B, "F", "12", sink, result, server.url()), c.ok)
            << c.body;
        EXPECT_EQ(result.present, c.present) << c.body;
        EXPECT_EQ(result.decoded, c.decoded) << c.body;
        EXPECT_EQ(sink.bytes, c.bytes) << c.body;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << c.body << ": " << result.error;
        EXPECT_EQ(sink.expected, std::string(c.body).size() / 4 * 3) << c.body;
    }
    EXPECT_EQ(server.targets()[0], "/cgi/u?bld=12&fw=F&no_cal=false&op=bird&sn=00001A2B&");
}

// Failures leave one debug line each, with the texts that tell them apart.
TEST(UpdateServerRequest, FailuresAreLoggedAndReportedFalse) {
    char* text = nullptr;
    size_t size = 0;
    FILE* sink = open_memstream(&text, &size);
    ASSERT_NE(sink, nullptr);
    FILE* saved = Log::fh;
    Log::SetOutput(sink);
    Log::ActivatePackage(DEBUG_ServerComm);
    int port;
    {
        ScriptedServer server(
            {ScriptedServer::Http(503, "busy"), ScriptedServer::Http(200, "error\n")});
        port = server.port();
        std::string b, n;
        EXPECT_FALSE(USR::ping(server.url()));
        EXPECT_FALSE(USR::QueryBuild(5, b, n, server.url()));
    }
    USR::BuildList list = {{"x", "y"}};
    EXPECT_FALSE(USR::GetBuildList(5, list, "http://127.0.0.1:" + std::to_string(port) + "/cgi/u"));
    EXPECT_TRUE(list.empty());
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(saved);
    fclose(sink);
    const std::string log(text, size);
    free(text);
    EXPECT_NE(log.find("PING ==> [503] [busy]\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ServerCommClass: QueryBuild failed [http://127.0.0.1:" +
                       std::to_string(port) + "/cgi/u?op=qu&sn=00000005&]\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GetBuildList ==> [Couldn't connect to server]\n"), std::string::npos)
        << log;
}

}  // namespace
