// A simulated LPC boot ROM on a pty and the client connected to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "NXPSerialClass.h"
#include "lpcsim/LpcPty.h"

namespace tftest {

class LpcFixture : public ::testing::Test {
  protected:
    // A fresh chip with these faults and identity; the client connected at rate.
    void start(lpcsim::Faults faults = {}, lpcsim::Identity identity = {}, uint32_t rate = 115200) {
        client.Disconnect();
        sim = std::make_unique<lpcsim::LpcPty>(std::move(faults), identity);
        ASSERT_EQ(client.Connect(sim->slavePath().c_str(), rate), 0);
    }
    void startSynced(lpcsim::Faults faults = {}) {
        start(std::move(faults));
        ASSERT_EQ(client.Sync(), 0);
    }
    template <typename F> auto chip(F f) { return sim->withChip(f); }
    std::vector<std::string> commands() {
        return chip([](lpcsim::Chip& c) { return c.commands(); });
    }

    std::unique_ptr<lpcsim::LpcPty> sim;
    NXPSerialClass client;
};

} // namespace tftest
