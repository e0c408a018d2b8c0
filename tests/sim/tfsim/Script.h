// Scripted answers: rules of a matcher and a responder, tried in the order added, the
// first that matches answering. A module's script comes before everything else it
// answers with, so a test can override any answer, a sync's included.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "tfsim/Handler.h"
#include "tfsim/Packet.h"

namespace tfsim {

struct RuleOptions {
    std::chrono::milliseconds delay{0}; // a late reply: sent this long after the request
    std::optional<unsigned> times;      // empty: every time; else the rule retires after this many
    std::vector<Pause> pauses;          // the reply written in pieces
    Action then = Action::None;
};

using RuleId = uint64_t;

class Script final : public Handler {
  public:
    // Matchers run with the script locked; responders run unlocked.
    RuleId onRequest(Matcher match, Responder respond, RuleOptions options = {});
    void removeRule(RuleId id);
    void clear();
    unsigned hits(RuleId id) const; // how often the rule has answered

    bool handle(const Packet& request, Replies& replies) override;

  private:
    struct Rule {
        RuleId id;
        Matcher match;
        Responder respond;
        RuleOptions options;
        unsigned left; // meaningful when options.times is set
    };

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    std::map<RuleId, unsigned> hits_;
    RuleId nextRule_ = 1;
};

} // namespace tfsim
