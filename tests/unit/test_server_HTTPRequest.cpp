#include <gtest/gtest.h>

#include <stdexcept>

#include "server/HTTPRequest.h"
#include "test_server_scripted_server.h"

namespace {

TEST(HTTPRequest, BuildsTheQueryInKeyOrderWithoutEncoding) {
    EXPECT_EQ(HTTPRequest::BuildRequest("B", {}), "B");
    EXPECT_EQ(HTTPRequest::BuildRequest("B", {{"op", "hi"}, {"rv", "2"}}), "B?op=hi&rv=2&");
    EXPECT_EQ(HTTPRequest::BuildRequest("B", {{"sn", "1"}, {"op", "qu"}}), "B?op=qu&sn=1&");
    EXPECT_EQ(HTTPRequest::BuildRequest("B", {{"fp", "1%202"}, {"a", "x y"}}), "B?a=x y&fp=1%202&");
}

TEST(HTTPRequest, ReturnsStatusAndBodyInPieces) {
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ScriptedServer server({ScriptedServer::Http(200, big, 7001),
                           ScriptedServer::Http(404, "not here\n"),
                           ScriptedServer::Http(302, "moved")});

    HTTPResponse ok = HTTPRequest::GET(server.url(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(ok.get_request(), server.url() + "?op=hi&rv=2&");
    EXPECT_EQ(ok.get_status(), 200);
    EXPECT_EQ(ok.get_response(), big);

    HTTPResponse missing = HTTPRequest::GET(server.url(), {});
    EXPECT_EQ(missing.get_status(), 404);
    EXPECT_EQ(missing.get_response(), "not here\n");

    HTTPResponse moved = HTTPRequest::GET(server.url(), {});  // not followed
    EXPECT_EQ(moved.get_status(), 302);
    EXPECT_EQ(moved.get_response(), "moved");

    EXPECT_EQ(server.targets(),
              (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u", "/cgi/u"}));
}

// Shortened limits for one test; the defaults come back afterwards.
class ScopedLimits {
  public:
    explicit ScopedLimits(const HTTPRequest::Limits& l) : saved_(HTTPRequest::GetLimits()) {
        HTTPRequest::SetLimits(l);
    }
    ~ScopedLimits() { HTTPRequest::SetLimits(saved_); }

  private:
    HTTPRequest::Limits saved_;
};

std::string failureOf(const std::string& url) {
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(HTTPRequest, TransportFailuresThrowWithLibcurlText) {
    // A port that was just free: nobody listens there.
    int port;
    {
        ScriptedServer probe({});
        port = probe.port();
    }
    EXPECT_EQ(failureOf("http://127.0.0.1:" + std::to_string(port) + "/cgi/u"),
              "Couldn't connect to server");
    EXPECT_EQ(failureOf("ftp://127.0.0.1:1/cgi/u"), "Unsupported protocol");
    EXPECT_EQ(failureOf("http://127.0.0.1:99999/cgi/u"),
              "URL using bad/illegal format or missing URL");
}

TEST(HTTPRequest, SilentServerIsAbandonedByTheLowSpeedLimit) {
    ScopedLimits limits({2000, 1, 1, 10000, 1 << 20});
    ScriptedServer server({ScriptedServer::Stall()});
    EXPECT_EQ(failureOf(server.url()), "Timeout was reached");
    EXPECT_EQ(server.targets().size(), 1u);
}

TEST(HTTPRequest, AnswerLargerThanTheLimitIsRefused) {
    ScopedLimits limits({2000, 1, 5, 10000, 1000});
    ScriptedServer server({ScriptedServer::Http(200, std::string(1001, 'a')),
                           ScriptedServer::Http(200, std::string(1000, 'a'))});
    EXPECT_EQ(failureOf(server.url()), "Answer larger than 1000 bytes");
    EXPECT_EQ(HTTPRequest::GET(server.url(), {}).get_response().size(), 1000u);
}

}  // namespace
