// Load through one client link of a packet server whose module echoes: many requests, each
// with a payload no other request of any client carries, several in flight at once. Shared
// by the load tests and the served_module program (a client in a process of its own).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <vector>

#include "aLink.h"
#include "aPacket.h"

namespace servedload {

constexpr uint8_t MODULE = 0x06;
constexpr uint8_t ECHO = 0x17; // the module sends back every request whose data begins so

// 28 bytes: ECHO, the client's tag, the request's number, then bytes mixed from both, so
// that a reply swapped with another client's or another request's shows at once.
inline std::vector<uint8_t> payload(uint8_t tag, uint16_t sequence) {
    std::vector<uint8_t> data(28);
    data[0] = ECHO;
    data[1] = tag;
    data[2] = static_cast<uint8_t>(sequence >> 8);
    data[3] = static_cast<uint8_t>(sequence);
    uint32_t mix = (uint32_t{tag} << 16 | sequence) * 2654435761u;
    for (size_t i = 4; i < data.size(); i++) {
        mix ^= mix << 13, mix ^= mix >> 17, mix ^= mix << 5;
        data[i] = static_cast<uint8_t>(mix);
    }
    return data;
}

struct Tally {
    int answered = 0;  // replies equal to a request of this client still waiting
    int lost = 0;      // requests that got no reply
    int misrouted = 0; // replies to another client's request
    int wrong = 0;     // replies of this client that match no request waiting
    bool clean(int requests) const {
        return answered == requests && lost == 0 && misrouted == 0 && wrong == 0;
    }
};

inline void print(FILE* out, const Tally& t) {
    std::fprintf(out, "answered %d lost %d misrouted %d wrong %d\n", t.answered, t.lost,
                 t.misrouted, t.wrong);
}

inline bool parse(const char* line, Tally& t) {
    return std::sscanf(line, "answered %d lost %d misrouted %d wrong %d", &t.answered, &t.lost,
                       &t.misrouted, &t.wrong) == 4;
}

// Sends `requests` requests keeping up to `window` unanswered, and sorts every packet that
// comes back. A reply that overtakes a waiting one costs the earlier one (lost): the server
// keeps each client's replies in order. Three quiet seconds end the run, all waiting lost.
inline Tally run(uint32_t link, uint8_t tag, int requests, int window) {
    Tally tally;
    std::deque<uint16_t> waiting;
    int sent = 0;
    while (sent < requests || !waiting.empty()) {
        while (sent < requests && static_cast<int>(waiting.size()) < window) {
            auto data = payload(tag, static_cast<uint16_t>(sent));
            aPacket* request = aPacket_CreateWithData(MODULE, 28, data.data());
            aErr put = aLink_PutPacket(link, request);
            aPacket_Destroy(&request);
            if (put != aErrNone) {
                tally.lost += requests - sent + static_cast<int>(waiting.size());
                return tally;
            }
            waiting.push_back(static_cast<uint16_t>(sent++));
        }
        aPacket* reply = aLink_AwaitPacket(link, 3000);
        if (!reply) {
            tally.lost += requests - sent + static_cast<int>(waiting.size());
            return tally;
        }
        std::vector<uint8_t> got(reply->data, reply->data + reply->length);
        uint8_t address = reply->address;
        aPacket_Destroy(&reply);
        if (address != MODULE || got.size() != 28 || got[0] != ECHO) {
            tally.wrong++;
        } else if (got[1] != tag) {
            tally.misrouted++;
        } else {
            auto sequence = static_cast<uint16_t>(got[2] << 8 | got[3]);
            size_t at = 0;
            while (at < waiting.size() && waiting[at] != sequence)
                at++;
            if (at == waiting.size() || got != payload(tag, sequence)) {
                tally.wrong++;
                continue;
            }
            tally.lost += static_cast<int>(at);
            waiting.erase(waiting.begin(), waiting.begin() + static_cast<long>(at) + 1);
            tally.answered++;
        }
    }
    return tally;
}

} // namespace servedload
