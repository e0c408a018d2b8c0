// The Serial Download engine's ownership of its transport and its codes before any wire.
#include <gtest/gtest.h>

#include "SDPLoader.h"

namespace {

// A transport that only says whether it opened and when it went.
class CountingTransport : public SDPLoader_Interface {
  public:
    CountingTransport(bool opens, int& destroyed) : opens_(opens), destroyed_(destroyed) {}
    ~CountingTransport() override { ++destroyed_; }
    bool init() override {
        ++inits;
        return opens_;
    }
    long writeData(const std::vector<unsigned char>&) override { return -1; }
    long readData(std::vector<unsigned char>&, u32) override { return 0; }
    bool getDataFromBuffer(const std::vector<unsigned char>&, u32, u32&) override { return false; }
    int inits = 0;

  private:
    bool opens_;
    int& destroyed_;
};

TEST(SdpEngine, WithoutTransportEveryOperationSaysSo) {
    SDPLoader engine;
    EXPECT_EQ(engine.init(), 1);
    EXPECT_EQ(engine.writeLoader({1, 2, 3}, 0x20000000), 1);
    u64 id = 0;
    EXPECT_EQ(engine.getFingerprint(id), 1);
    engine.startLoader(0x20000400); // nothing to send it through, and no crash
    EXPECT_FALSE(engine.setLoader(nullptr));
}

TEST(SdpEngine, OwnsTheFirstTransportOnlyAndDestroysItOnce) {
    int firstGone = 0, secondGone = 0;
    auto* second = new CountingTransport(true, secondGone);
    {
        SDPLoader engine;
        auto* first = new CountingTransport(true, firstGone);
        ASSERT_TRUE(engine.setLoader(first));
        EXPECT_FALSE(engine.setLoader(second)) << "a second transport must not replace the first";
        EXPECT_EQ(engine.init(), 0);
        EXPECT_EQ(first->inits, 1);
        EXPECT_EQ(second->inits, 0);
    }
    EXPECT_EQ(firstGone, 1);
    EXPECT_EQ(secondGone, 0) << "the refused transport stays the caller's";
    delete second;
}

TEST(SdpEngine, TransportThatDoesNotOpenGivesSix) {
    int gone = 0;
    SDPLoader engine;
    ASSERT_TRUE(engine.setLoader(new CountingTransport(false, gone)));
    EXPECT_EQ(engine.init(), 6);
}

} // namespace
