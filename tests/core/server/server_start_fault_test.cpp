// A packet server whose broker or sync task cannot make its poller: the start must fail
// and the destroy must still stop what did start. zpoller_new is interposed by this program,
// failing the call it is told to and passing every other on to czmq's.
#include <czmq.h>
#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <vector>

#include "LinkFixture.h"
#include "aServer_ZeroMQ.h"

using namespace linktest;

namespace {

// The number of the zpoller_new call to come that fails (1 the next one, 0 none).
std::atomic<int> failCall{0};

using PollerNew = zpoller_t* (*)(void*, ...);

PollerNew realPollerNew() {
    static PollerNew real = reinterpret_cast<PollerNew>(dlsym(RTLD_NEXT, "zpoller_new"));
    return real;
}

} // namespace

extern "C" zpoller_t* zpoller_new(void* reader, ...) {
    int left = failCall.load();
    if (left > 0 && failCall.fetch_sub(1) == 1) return nullptr;
    zpoller_t* poller = realPollerNew()(reader, nullptr);
    va_list readers;
    va_start(readers, reader);
    for (void* next = va_arg(readers, void*); poller && next; next = va_arg(readers, void*)) {
        if (zpoller_add(poller, next) != 0) zpoller_destroy(&poller);
    }
    va_end(readers);
    return poller;
}

// The broker makes its poller first, then the sync task.
TEST_F(SimLink, ServerStartFailsWhenATaskCannotMakeItsPoller) {
    connect();
    ASSERT_NE(realPollerNew(), nullptr);
    for (int call : {1, 2}) {
        SCOPED_TRACE(call == 1 ? "broker" : "sync task");
        aServer* server = aServer_Create(id, 0, true);
        ASSERT_NE(server, nullptr);
        failCall = call;
        EXPECT_EQ(aServer_Start(server), aErrResource);
        failCall = 0;
        EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    }
    aServer* server = aServer_Create(id, 0, true);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(aServer_Start(server), aErrNone) << "nothing of the failed starts is left over";
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
}
