// A server that goes quiet ends a request with a failure once the transfer's limits run out,
// rather than holding it (and the download thread) for ever. Each case sits through a limit.
#include <gtest/gtest.h>

#include <string>

#include "FixtureUpdateServer.h"
#include "UpdateServerRequest.h"

namespace {

using tftest::FixtureUpdateServer;

TEST(UpdateServerStall, ABodyThatStopsHalfWayFails) {
    for (bool tls : {false, true}) {
        FixtureUpdateServer server({tls, "stall"});
        std::string payload = "before";
        EXPECT_FALSE(UpdateServerRequest::GetBuild(tftest::FIXTURE_SERIAL, "F", "77", payload,
                                                   server.url().c_str(), false))
            << server.url();
        EXPECT_EQ(payload, "before");
    }
}

// Over HTTPS the silence falls in the handshake, which the connection's limit covers.
TEST(UpdateServerStall, AServerThatNeverAnswersFails) {
    for (bool tls : {false, true}) {
        FixtureUpdateServer server({tls, "silent"});
        EXPECT_FALSE(UpdateServerRequest::ping(server.url().c_str())) << server.url();
    }
}

} // namespace
