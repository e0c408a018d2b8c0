// Reading the update server's replies, without the network: which first lines and statuses
// count as "ok", which lines each question takes, what stays unchanged, and the log lines.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "HTTPRequest.h"
#include "LogCapture.h"
#include "UpdateServerRequest.h"

namespace {

using Builds = UpdateServerRequest::BuildList;

HTTPResponse reply(const std::string& body, long status = 200,
                   const std::string& url = "http://127.0.0.1/cgi/u?op=x&") {
    HTTPResponse r(url);
    r.process(body.data(), body.size());
    r.set_status(status);
    return r;
}

// The verdict of every reader on one reply.
struct Reader {
    const char* name;
    std::function<bool(HTTPResponse&)> read;
};

const Reader READERS[] = {
    {"ping", [](HTTPResponse& r) { return UpdateServerRequest::ReadPing(r); }},
    {"QueryBuild",
     [](HTTPResponse& r) {
         std::string build, firmware;
         return UpdateServerRequest::ReadQueryBuild(r, build, firmware);
     }},
    {"GetBuild",
     [](HTTPResponse& r) {
         std::string out;
         return UpdateServerRequest::ReadGetBuild(r, out);
     }},
    {"GetBuildList",
     [](HTTPResponse& r) {
         Builds builds;
         return UpdateServerRequest::ReadGetBuildList(r, builds);
     }},
    {"GetRecoveryInfo",
     [](HTTPResponse& r) {
         unsigned serial = 0, build = 0;
         return UpdateServerRequest::ReadGetRecoveryInfo(r, &serial, &build);
     }},
};

TEST(ServerReply, AcceptsOnlyStatus200WithAFirstLineBeginningOk) {
    const struct {
        const char* body;
        long status;
        bool accepted;
    } cases[] = {
        {"ok\n", 200, true},         {"ok", 200, true},
        {"okay then\n", 200, true},  {"\n\n\nok\n", 200, true},
        {"OK\n", 200, false},        {"Ok\n", 200, false},
        {" ok\n", 200, false},       {"", 200, false},
        {"\n\n", 200, false},        {"o\nk\n", 200, false},
        {"error\nok\n", 200, false}, {"ok\n", 404, false},
        {"ok\n", 0, false},          {"ok\n", 201, false},
    };
    for (const Reader& reader : READERS)
        for (const auto& c : cases) {
            HTTPResponse r = reply(c.body, c.status);
            EXPECT_EQ(reader.read(r), c.accepted)
                << reader.name << " on [" << c.body << "] status " << c.status;
        }
}

TEST(ServerReply, QueryBuildTakesLinesTwoAndThree) {
    const struct {
        const char* body;
        bool accepted;
        const char* build;
        const char* firmware;
    } cases[] = {
        {"ok\n1234\nAlpha\n", true, "1234", "Alpha"},
        // The build keeps the CR of a CR LF end; the firmware, cut at CR too, does not.
        {"ok\r\n1234\r\nAlpha\r\n", true, "1234\r", "Alpha"},
        {"ok\n1234\n", true, "1234", "before"},
        {"ok\n", true, "before", "before"},
        {"ok\n\n\n1234\n\nAlpha", true, "1234", "Alpha"},
        {"no\n1234\nAlpha\n", false, "before", "before"},
    };
    for (const auto& c : cases) {
        HTTPResponse r = reply(c.body);
        std::string build = "before", firmware = "before";
        EXPECT_EQ(UpdateServerRequest::ReadQueryBuild(r, build, firmware), c.accepted) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
}

TEST(ServerReply, GetBuildTakesLineTwoWithoutACarriageReturn) {
    const struct {
        const char* body;
        bool accepted;
        const char* out;
    } cases[] = {
        {"ok\nQUJD\n", true, "QUJD"},       {"ok\r\nQUJD\r\n", true, "QUJD"},
        {"ok\nQUJD", true, "QUJD"},         {"ok\n", true, ""},
        {"ok\nQUJD\nmore\n", true, "QUJD"}, {"", false, "before"},
    };
    for (const auto& c : cases) {
        HTTPResponse r = reply(c.body);
        std::string out = "before";
        EXPECT_EQ(UpdateServerRequest::ReadGetBuild(r, out), c.accepted) << c.body;
        EXPECT_EQ(out, c.out) << c.body;
    }
}

TEST(ServerReply, GetBuildListKeepsTheFirstEntryOfEachUsableLine) {
    const struct {
        const char* body;
        Builds builds;
    } cases[] = {
        {"ok\n100;1.2.3\n99;1.2.3\n100;9.9.9\nab\n101\n",
         {{"100", "1.2.3"}, {"101", ""}, {"99", "1.2.3"}}},
        {"ok\r\n100;1.2.3\r\n101\r\n", {{"100", "1.2.3"}, {"101", ""}}},
        {"ok\n;;;\n7;;2.0.0;x\n", {{"7", "2.0.0"}}},
        {"ok\n", {}},
    };
    for (const auto& c : cases) {
        HTTPResponse r = reply(c.body);
        Builds builds;
        EXPECT_TRUE(UpdateServerRequest::ReadGetBuildList(r, builds)) << c.body;
        EXPECT_EQ(builds, c.builds) << c.body;
    }
}

TEST(ServerReply, GetRecoveryInfoReadsHexadecimalSerialAndAnyBaseBuild) {
    const struct {
        const char* body;
        unsigned serial;
        unsigned build;
    } cases[] = {
        {"ok\n12ab\n77\n", 0x12AB, 77},
        {"ok\n0x12AB\n0x4D\n", 0x12AB, 0x4D},
        {"ok\n12AB\n010\n", 0x12AB, 8},
        {"ok\r\n12AB\r\n77\r\n", 0x12AB, 77},
        {"ok\n12ABzz\n77 builds\n", 0x12AB, 77},
        {"ok\n1FFFFFFFF\n4294967297\n", 0xFFFFFFFF, 1},
        {"ok\n12AB\n", 0x12AB, 5},
        {"ok\n", 9, 5},
    };
    for (const auto& c : cases) {
        HTTPResponse r = reply(c.body);
        unsigned serial = 9, build = 5;
        EXPECT_TRUE(UpdateServerRequest::ReadGetRecoveryInfo(r, &serial, &build)) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

// Bodies and URLs reach the log as texts, never as formats: a "%" in them stays as it is.
TEST(ServerReply, LogsRefusalsWithBodyAndUrlAsTheyAre) {
    tftest::LogCapture log(DEBUG_ServerComm);
    HTTPResponse missing = reply("gone: 100% %s %n\n", 404);
    EXPECT_FALSE(UpdateServerRequest::ReadPing(missing));
    HTTPResponse refused = reply("nope\n", 200, "http://h/cgi/u?fp=00000001%2000000002&");
    std::string build;
    EXPECT_FALSE(UpdateServerRequest::ReadQueryBuild(refused, build, build));
    HTTPResponse other = reply("gone\n", 500);
    EXPECT_FALSE(UpdateServerRequest::ReadGetBuild(other, build));
    EXPECT_EQ(log.text(),
              "PING ==> [404] [gone: 100% %s %n\n]\n"
              "ServerCommClass: QueryBuild failed [http://h/cgi/u?fp=00000001%2000000002&]\n"
              "GetBuild ==> [500] [gone\n]\n");
}

TEST(ServerReply, LogsWhatItReads) {
    tftest::LogCapture log(DEBUG_ServerComm);
    HTTPResponse list = reply("ok\n100;1.2.3\n123456789012;abcdefghijkl\n");
    Builds builds;
    EXPECT_TRUE(UpdateServerRequest::ReadGetBuildList(list, builds));
    HTTPResponse recovery = reply("ok\n12AB\n");
    unsigned serial = 0, build = 0;
    EXPECT_TRUE(UpdateServerRequest::ReadGetRecoveryInfo(recovery, &serial, &build));
    EXPECT_EQ(log.text(), "GetBuildList processing entry: [100;1.2.3]\n"
                          "GetBuildList [100][1.2.3]\n"
                          "GetBuildList processing entry: [123456789012;abcdefghijkl]\n"
                          "GetBuildList [1234567890][abcdefghij]\n"
                          "GetRecoveryInfo [ok][12AB][]\n");
}

} // namespace
