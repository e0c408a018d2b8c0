// The logger thread with real files and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Eventually.h"
#include "TempDir.h"
#include "aFile.h"
#include "aLogger.h"

using namespace std::chrono_literals;
using tftest::eventually;
using tftest::TempDir;

namespace {

// What the callbacks of a test share with it; one per test, reached through the parameter.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> linesToWrite{0};
    std::atomic<aLogger*> self{nullptr};
    std::atomic<int> selfResult{-1};
};
Probe* gProbe = nullptr;

void writeLines(void* file, uint32_t parameter) {
    gProbe->calls++;
    if (gProbe->linesToWrite > 0) {
        gProbe->linesToWrite--;
        aFile_Printf(static_cast<aFile*>(file), "line %u\n", parameter);
    } else {
        std::this_thread::sleep_for(1ms);
    }
}

void disableSelf(void*, uint32_t) {
    if (gProbe->calls++ == 0) {
        gProbe->selfResult = aLogger_Disable(gProbe->self);
    }
    std::this_thread::sleep_for(1ms);
}

void destroySelf(void*, uint32_t) {
    if (gProbe->calls++ == 0) {
        aLogger* handle = gProbe->self;
        gProbe->selfResult = aLogger_Destroy(&handle);
    }
    std::this_thread::sleep_for(1ms);
}

class LoggerTest : public testing::Test {
  protected:
    void SetUp() override { gProbe = &probe; }
    void TearDown() override { gProbe = nullptr; }
    Probe probe;
    TempDir dir;
};

} // namespace

TEST_F(LoggerTest, CreateFailsForAnUnreachablePath) {
    EXPECT_EQ(aLogger_Create(1, writeLines, (dir / "missing/dir/log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, nullptr, (dir / "log").c_str()), nullptr);
}

TEST_F(LoggerTest, AppendsToExistingContentAtOnce) {
    std::string path = dir.write("log", "old\n");
    aLogger* logger = aLogger_Create(7, writeLines, path.c_str());
    ASSERT_TRUE(aVALIDLOGGER(logger));
    probe.linesToWrite = 2;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(eventually([&] { return tftest::readFile(path) == "old\nline 7\nline 7\n"; }))
        << "lines reach the file without a flush: " << tftest::readFile(path);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, EnableTwiceRunsOneThreadAndDisableStopsCallbacks) {
    aLogger* logger = aLogger_Create(1, writeLines, (dir / "log").c_str());
    EXPECT_EQ(aLogger_Disable(logger), aErrNone) << "never enabled";
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(eventually([&] { return probe.calls > 5; }));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    int stoppedAt = probe.calls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.calls, stoppedAt) << "no callback after disable returned";

    // Enabled again, the same file goes on.
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(eventually([&] { return probe.calls > stoppedAt; }));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone) << "a second destroy does nothing";
}

TEST_F(LoggerTest, CallbackCannotDisableOrDestroyItsOwnLogger) {
    aLogger* logger = aLogger_Create(1, disableSelf, (dir / "a").c_str());
    probe.self = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(eventually([&] { return probe.calls > 3; })) << "the thread keeps running";
    EXPECT_EQ(probe.selfResult, aErrNone);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);

    Probe second;
    gProbe = &second;
    logger = aLogger_Create(1, destroySelf, (dir / "b").c_str());
    second.self = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_TRUE(eventually([&] { return second.calls > 3; }));
    EXPECT_EQ(second.selfResult, aErrBusy);
    EXPECT_TRUE(aVALIDLOGGER(logger));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, NullLoggersAreRefused) {
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLogger* none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_FALSE(aVALIDLOGGER(nullptr));
}
