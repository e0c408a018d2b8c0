// Scripted rules: the first that matches answers.
#include "tfsim/Script.h"

#include <utility>

namespace tfsim {

RuleId Script::onRequest(Matcher match, Responder respond, RuleOptions options) {
    std::lock_guard lock(mutex_);
    RuleId id = nextRule_++;
    unsigned left = options.times.value_or(0);
    if (options.times && left == 0) return id; // a rule for no times never answers
    rules_.push_back(Rule{id, std::move(match), std::move(respond), std::move(options), left});
    hits_[id] = 0;
    return id;
}

void Script::removeRule(RuleId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(rules_, [id](const Rule& r) { return r.id == id; });
}

void Script::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

unsigned Script::hits(RuleId id) const {
    std::lock_guard lock(mutex_);
    auto it = hits_.find(id);
    return it == hits_.end() ? 0 : it->second;
}

bool Script::handle(const Packet& request, Replies& replies) {
    Responder respond;
    RuleOptions options;
    {
        std::lock_guard lock(mutex_);
        auto it = rules_.begin();
        while (it != rules_.end() && !it->match(request))
            ++it;
        if (it == rules_.end()) return false;
        respond = it->respond;
        options = it->options;
        ++hits_[it->id];
        if (it->options.times && --it->left == 0) rules_.erase(it);
    }
    replies.add(Reply{respond(request), options.delay, std::move(options.pauses), options.then});
    return true;
}

} // namespace tfsim
