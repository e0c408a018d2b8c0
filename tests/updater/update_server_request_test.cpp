// The update-server requests against the fixture server over HTTP and HTTPS: the exact
// targets each request form sends, the answers it reads, and that every misbehaving server
// gives a failure, never a success.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "FixtureUpdateServer.h"
#include "HTTPRequest.h"
#include "LogCapture.h"
#include "UpdateServerRequest.h"
#include "base64.h"

namespace {

using tftest::FIXTURE_ODD_NAME;
using tftest::FIXTURE_ODD_NAME_SERIAL;
using tftest::FIXTURE_SERIAL;
using tftest::FixtureUpdateServer;
using Builds = UpdateServerRequest::BuildList;

std::string decoded(const std::string& text) {
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(
        base64_decode(text.data(), text.size(), &length), &free);
    return bytes ? std::string(reinterpret_cast<char*>(bytes.get()), length) : "(not Base64)";
}

// One request with the outputs it fills, started from the outputs' "before" values.
struct Outputs {
    std::string build = "before", firmware = "before", payload = "before";
    Builds builds = {{"stale", "0.0.0"}};
    unsigned serial = 9, number = 5;
    bool operator==(const Outputs&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outputs& o) {
    return out << "{" << o.build << ", " << o.firmware << ", " << o.payload.size()
               << " payload characters, " << o.builds.size() << " builds, " << o.serial << ", "
               << o.number << "}";
}

struct Call {
    const char* name;
    std::function<bool(const std::string& url, Outputs&)> run;
};

unsigned FINGERPRINT[4] = {1, 2, 3, 4};

const Call CALLS[] = {
    {"ping",
     [](const std::string& url, Outputs&) { return UpdateServerRequest::ping(url.c_str()); }},
    {"QueryBuild",
     [](const std::string& url, Outputs& o) {
         return UpdateServerRequest::QueryBuild(FIXTURE_SERIAL, o.build, o.firmware, url.c_str());
     }},
    {"GetBuild",
     [](const std::string& url, Outputs& o) {
         return UpdateServerRequest::GetBuild(FIXTURE_SERIAL, "F", "77", o.payload, url.c_str(),
                                              false);
     }},
    {"GetBuildList",
     [](const std::string& url, Outputs& o) {
         return UpdateServerRequest::GetBuildList(FIXTURE_SERIAL, o.builds, url.c_str());
     }},
    {"GetRecoveryInfo",
     [](const std::string& url, Outputs& o) {
         return UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &o.serial, &o.number,
                                                     url.c_str());
     }},
};

class UpdateServerRequestTest : public ::testing::TestWithParam<bool> {
  protected:
    bool tls() const { return GetParam(); }
    FixtureUpdateServer::Options with(std::string fault = "") const { return {tls(), fault}; }
};

INSTANTIATE_TEST_SUITE_P(Schemes, UpdateServerRequestTest, ::testing::Values(false, true),
                         [](const auto& scheme) { return scheme.param ? "HTTPS" : "HTTP"; });

TEST_P(UpdateServerRequestTest, SendsEachRequestAsItsExactTarget) {
    FixtureUpdateServer server(with());
    const std::string url = server.url();
    const struct {
        std::function<bool(Outputs&)> run;
        const char* target;
        std::function<void(const Outputs&)> check;
    } cases[] = {
        {[&](Outputs&) { return UpdateServerRequest::ping(url.c_str()); }, "/cgi/u?op=hi&rv=2&",
         [](const Outputs&) {}},
        {[&](Outputs& o) {
             return UpdateServerRequest::QueryBuild(FIXTURE_SERIAL, o.build, o.firmware,
                                                    url.c_str());
         },
         "/cgi/u?op=qu&sn=000012AB&",
         [](const Outputs& o) {
             EXPECT_EQ(o.build, "77");
             EXPECT_EQ(o.firmware, "F");
         }},
        {[&](Outputs& o) {
             return UpdateServerRequest::GetBuild(FIXTURE_SERIAL, "F", "77", o.payload, url.c_str(),
                                                  false);
         },
         "/cgi/u?bld=77&fw=F&no_cal=false&op=bird&sn=000012AB&",
         [](const Outputs& o) { EXPECT_EQ(decoded(o.payload), tftest::fixturePayload()); }},
        {[&](Outputs& o) {
             return UpdateServerRequest::GetBuild(FIXTURE_SERIAL, "F", "77", o.payload, url.c_str(),
                                                  true);
         },
         "/cgi/u?bld=77&fw=F&no_cal=true&op=bird&sn=000012AB&", [](const Outputs&) {}},
        // A firmware name from the server is escaped, so that its "&" and "=" stay in its value.
        {[&](Outputs& o) {
             return UpdateServerRequest::GetBuild(FIXTURE_ODD_NAME_SERIAL, FIXTURE_ODD_NAME, "5",
                                                  o.payload, url.c_str(), false);
         },
         "/cgi/u?bld=5&fw=A%20B%26c%3Dd%2F%C3%A9&no_cal=false&op=bird&sn=000012AC&",
         [](const Outputs& o) { EXPECT_EQ(decoded(o.payload), std::string("\x01\x02")); }},
        {[&](Outputs& o) {
             return UpdateServerRequest::GetBuildList(FIXTURE_SERIAL, o.builds, url.c_str());
         },
         "/cgi/u?op=builds&sn=000012AB&",
         [](const Outputs& o) {
             EXPECT_EQ(o.builds, (Builds{{"100", "2.12.10"}, {"76", "2.9.0"}, {"77", "2.12.5"}}));
         }},
        {[&](Outputs& o) {
             return UpdateServerRequest::GetRecoveryInfo(FINGERPRINT, &o.serial, &o.number,
                                                         url.c_str());
         },
         "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
         [](const Outputs& o) {
             EXPECT_EQ(o.serial, FIXTURE_SERIAL);
             EXPECT_EQ(o.number, 77u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Outputs o;
        EXPECT_TRUE(c.run(o));
        EXPECT_EQ(server.lastRequest(), c.target);
        c.check(o);
    }
    EXPECT_EQ(server.requests().size(), std::size(cases));
}

TEST_P(UpdateServerRequestTest, GetWithoutQueryFetchesTheUrlAlone) {
    FixtureUpdateServer server(with());
    std::map<std::string, std::string> none;
    HTTPResponse r = HTTPRequest::GET(server.url().c_str(), none);
    EXPECT_EQ(server.lastRequest(), "/cgi/u");
    EXPECT_EQ(r.get_request(), server.url());
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_STREQ(r.get_response(), "error: operation\n");

    std::map<std::string, std::string> query = {{"op", "hi"}, {"rv", "2"}};
    HTTPResponse ping = HTTPRequest::GET(server.url().c_str(), query);
    EXPECT_EQ(ping.get_request(), server.url() + "?op=hi&rv=2&");
    EXPECT_STREQ(ping.get_response(), "ok\n");
}

// Every request fails against each of these, and leaves its outputs as they were (the build
// list emptied).
TEST_P(UpdateServerRequestTest, FailsEveryRequestOnAFaultyServer) {
    for (const char* fault : {"404", "first-line=OK", "first-line=error", "empty", "reset"}) {
        FixtureUpdateServer server(with(fault));
        for (const Call& call : CALLS) {
            SCOPED_TRACE(std::string(fault) + " " + call.name);
            Outputs o, expected;
            if (call.name == std::string("GetBuildList")) expected.builds.clear();
            EXPECT_FALSE(call.run(server.url(), o));
            EXPECT_EQ(o, expected);
        }
        EXPECT_EQ(server.requests().size(), std::size(CALLS)) << fault;
    }
}

// A port nobody listens on: taken free, then let go.
int closedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
}

TEST_P(UpdateServerRequestTest, LogsAFailedTransferUnderTheOperationsName) {
    const std::string url = std::string(tls() ? "https" : "http") +
                            "://127.0.0.1:" + std::to_string(closedPort()) + "/cgi/u";
    tftest::LogCapture log(DEBUG_ServerComm);
    for (const Call& call : CALLS) {
        Outputs o;
        EXPECT_FALSE(call.run(url, o)) << call.name;
        EXPECT_NE(log.text().find(std::string(call.name) + " ==> [" +
                                  curl_easy_strerror(CURLE_COULDNT_CONNECT) + "]\n"),
                  std::string::npos)
            << call.name << " in " << log.text();
    }
}

TEST_P(UpdateServerRequestTest, LogsARefusedStatusWithItsBody) {
    FixtureUpdateServer server(with("404"));
    tftest::LogCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(UpdateServerRequest::ping(server.url().c_str()));
    EXPECT_NE(log.text().find("GET(" + server.url() + "?op=hi&rv=2&)\n"), std::string::npos);
    EXPECT_NE(log.text().find("PING ==> [404] [not found: 100% %s %n %d\n]\n"), std::string::npos)
        << log.text();
}

TEST_P(UpdateServerRequestTest, AcceptsAFirstLineThatOnlyBeginsWithOk) {
    FixtureUpdateServer server(with("first-line=okay"));
    for (const Call& call : CALLS) {
        Outputs o;
        EXPECT_TRUE(call.run(server.url(), o)) << call.name;
    }
}

// "ok" alone is a success that leaves the outputs as they were, but empties the payload.
TEST_P(UpdateServerRequestTest, OkAloneLeavesOutputsUnchanged) {
    FixtureUpdateServer server(with("ok-alone"));
    Outputs o, expected;
    expected.payload.clear();
    expected.builds.clear();
    for (const Call& call : CALLS)
        EXPECT_TRUE(call.run(server.url(), o)) << call.name;
    EXPECT_EQ(o, expected);
}

TEST_P(UpdateServerRequestTest, ReadsRepliesWithCrLfLineEnds) {
    FixtureUpdateServer server(with("crlf"));
    Outputs o;
    for (const Call& call : CALLS)
        EXPECT_TRUE(call.run(server.url(), o)) << call.name;
    EXPECT_EQ(o.build, "77\r");
    EXPECT_EQ(o.firmware, "F");
    EXPECT_EQ(decoded(o.payload), tftest::fixturePayload());
    EXPECT_EQ(o.builds, (Builds{{"100", "2.12.10"}, {"76", "2.9.0"}, {"77", "2.12.5"}}));
    EXPECT_EQ(o.serial, FIXTURE_SERIAL);
    EXPECT_EQ(o.number, 77u);
}

// The request succeeds; the payload is what fails, at decoding.
TEST_P(UpdateServerRequestTest, APayloadOfABadLengthDoesNotDecode) {
    FixtureUpdateServer server(with("bad-length"));
    Outputs o;
    EXPECT_TRUE(CALLS[2].run(server.url(), o));
    size_t length = 0;
    EXPECT_EQ(base64_decode(o.payload.data(), o.payload.size(), &length), nullptr);
}

TEST_P(UpdateServerRequestTest, EndsABodyWithoutEndAtTheCap) {
    FixtureUpdateServer server(with("flood"));
    tftest::LogCapture log(DEBUG_ServerComm);
    Outputs o;
    EXPECT_FALSE(CALLS[2].run(server.url(), o));
    EXPECT_EQ(o.payload, "before");
    EXPECT_NE(log.text().find("rcv_data refuses a body over " +
                              std::to_string(HTTPRequest::MaxResponseBytes) + " bytes\n"),
              std::string::npos);
}

// Each request has its own handle and reply: a download on a thread of its own runs beside
// requests on the main thread.
TEST_P(UpdateServerRequestTest, RequestsRunOnSeveralThreadsAtOnce) {
    FixtureUpdateServer server(with());
    const std::string url = server.url();
    ASSERT_TRUE(UpdateServerRequest::ping(url.c_str()));
    std::string payloads[3];
    std::promise<bool> results[3];
    std::vector<std::thread> downloads;
    for (int i = 0; i < 3; ++i)
        downloads.emplace_back([&, i] {
            results[i].set_value(UpdateServerRequest::GetBuild(FIXTURE_SERIAL, "F", "77",
                                                               payloads[i], url.c_str(), false));
        });
    for (int i = 0; i < 5; ++i) {
        Builds builds;
        EXPECT_TRUE(UpdateServerRequest::GetBuildList(FIXTURE_SERIAL, builds, url.c_str()));
        EXPECT_EQ(builds.size(), 3u);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(results[i].get_future().get());
        downloads[static_cast<size_t>(i)].join();
        EXPECT_EQ(decoded(payloads[i]), tftest::fixturePayload());
    }
}

} // namespace
