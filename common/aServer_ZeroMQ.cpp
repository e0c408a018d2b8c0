// The ZeroMQ packet server: a broker thread on the clients' ROUTER, a sync worker that takes
// one request at a time to the device link, and the device link's stream filter.
//
// The sync channel between broker and worker carries each request with the identity of the
// client that sent it and the broker's flush generation, and each outcome back with the same
// two frames: [identity][generation][packet]... one way, [identity][generation][command]
// [reply]... the other. Replies thus never depend on the order of a queue of waiting
// clients, a lost message costs only its own request, and a reply is never mistaken for a
// command. A flush raises the generation, so outcomes of older requests are dropped.
#include "aServer_ZeroMQ.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <list>
#include <string>
#include <vector>

#include "aDebugging.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aMulticast.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"
#include "zBeaconInterface.h"
#include "zSysInterruptHandler.h"

namespace {

constexpr uint32_t SERVER_CHECK = 0x5E4EC0DE;
constexpr uint8_t ROUTE_ADDRESS = 0xAF;
constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0x00;
constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 0x01;
constexpr uint8_t FLUSH_SIGNAL = 5;
constexpr int POLL_MS = 1000;
constexpr uint64_t REPLY_WAIT_MS = 2000;
// A reply wait looks at the stop flag this often, so a stop never waits out a silent module.
constexpr uint64_t REPLY_SLICE_MS = 100;
constexpr size_t BATCH_SIZE = 4096;
constexpr size_t BATCH_FULL = 4065; // one more packet of 30 bytes still fits
constexpr int32_t POOL_TTL = 2000;
constexpr uint8_t POOL_START_LENGTH = 28;
constexpr int STOP_TIMEOUT_MS = 250;
// An actor busy in a reply wait answers a stop within a slice; this bounds a broken one.
constexpr std::chrono::milliseconds STOP_LIMIT{10000};
constexpr uint8_t STREAM_ENABLE_LENGTH = 7;
// Loopback discovery: a query on 9850+k is answered on 9950+k, k the first free query port.
constexpr uint32_t LOOPBACK_GROUP = 0xE0000007; // 224.0.0.7, host order
constexpr uint16_t QUERY_PORT = 9850;
constexpr uint16_t ANSWER_PORT = 9950;
constexpr int PORT_COUNT = 50;
constexpr int SETUP_ATTEMPTS = 50;
constexpr uint32_t DISCOVERY_MAGIC = 0xABCDDCBA; // little-endian on the wire
// Network discovery: a czmq beacon that hears the discovery text and then publishes the
// server's linkSpec every 100 ms for a little over two seconds.
constexpr int BEACON_PORT = 8585;
constexpr char DISCOVERY_BEACON_FILTER[] = "Tessaform2-Discovery";
constexpr size_t BEACON_FILTER_LENGTH = sizeof(DISCOVERY_BEACON_FILTER) - 1;
constexpr int PUBLISH_INTERVAL_MS = 100;
constexpr int64_t PUBLISH_WINDOW_MS = 2000;
constexpr int BEACON_RECEIVE_MS = 100;
constexpr int MAX_INTERFACES = 50;

using Bytes = std::string;

struct packetPool {
    Bytes identity;
    std::vector<Bytes> packets; // wire form, in order
    uint8_t count = 0;          // continued packets taken after the first
    int32_t ttl = POOL_TTL;
};

// Set by an actor once it no longer touches the record. czmq's threads are detached and its
// pipe signals pass through libzmq, so the stop waits on this instead of trusting them.
struct ActorExit {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;

    void mark() {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    bool await(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [this] { return done; });
    }
};

// Broker-private state, made and destroyed by the broker thread.
struct Broker {
    std::vector<Bytes> streamEntries;
    uint32_t generation = 0;
};

} // namespace

struct aServer {
    uint32_t check = SERVER_CHECK;
    // The device link, looked up by id at each use: a reset replaces its FIFOs and a
    // teardown frees its table entry.
    uint32_t linkId = 0;
    uint32_t serialNumber = 0; // the device link's first key, for discovery answers
    std::atomic<uint8_t> model{0};
    std::atomic<uint8_t> moduleAddress{0};
    uint32_t specType = 0;
    bool localOnly = false;
    uint32_t interfaceAddress = 0;
    int64_t publishStart = 0;
    bool publishing = false;
    zactor_t* broker = nullptr;
    zactor_t* sync = nullptr;
    zactor_t* discovery = nullptr;
    bool discoveryIsBeacon = false;
    std::atomic<uint16_t> frontendPort{0}; // read by the discovery responder
    zsock_t* frontend = nullptr;
    zsock_t* syncWorkerEnd = nullptr;
    zsock_t* syncBrokerEnd = nullptr;
    zsock_t* streamingFilterEnd = nullptr;
    zsock_t* streamingBrokerEnd = nullptr;
    uint8_t streamBatch[BATCH_SIZE] = {};
    uint16_t streamBatchLength = 0;
    uint32_t advertisedAddress = 0;
    std::list<packetPool>* pools = nullptr;
    uint16_t expectedReplies = 0;
    std::atomic<bool> stopping{false};
    bool started = false; // a start was tried: its sockets and actors are this record's
    bool filterInstalled = false;
    ActorExit brokerExit;
    ActorExit syncExit;
    ActorExit discoveryExit;
};

namespace {

bool drainAll(const aPacket*, const void*) {
    return true;
}

void _printTFPacket(const aPacket* packet) {
    if (packet->length < 2) {
        aDebug_Trace(aDEBUG_SERVER, "Weird Packet: Address: %d, Size: %d\n", packet->address,
                     packet->length);
        return;
    }
    char line[256];
    int used = snprintf(line, sizeof(line), "Address: %d, Size: %d Data: ", packet->address,
                        packet->length);
    for (uint8_t i = 0; i < packet->length && used > 0 && size_t(used) < sizeof(line); i++)
        used += snprintf(line + used, sizeof(line) - size_t(used), "0x%X ", packet->data[i]);
    aDebug_Trace(aDEBUG_SERVER, "%s\n", line);
}

Bytes bytesOf(zframe_t* frame) {
    return Bytes(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

// The one packet at the start of a frame of 2 to 30 bytes; NULL for any other frame.
aPacket* _zFrame_To_aPacket(const Bytes& frame) {
    if (frame.size() < 2 || frame.size() > aPACKET_MAX_BYTES) return nullptr;
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    if (bytes[1] > frame.size() - 2) return nullptr;
    return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

Bytes _aPacket_To_zFrame(const aPacket* packet) {
    Bytes frame;
    frame.push_back(static_cast<char>(packet->address));
    frame.push_back(static_cast<char>(packet->length));
    frame.append(reinterpret_cast<const char*>(packet->data), packet->length);
    return frame;
}

Bytes generationFrame(uint32_t generation) {
    uint32_t wire = htonl(generation);
    return Bytes(reinterpret_cast<const char*>(&wire), sizeof(wire));
}

// One message of the given parts, queued without waiting; false when it was not queued.
// ZeroMQ takes the parts of a message all or none once the first is accepted.
bool sendParts(zsock_t* socket, const std::vector<Bytes>& parts) {
    for (size_t i = 0; i < parts.size(); i++) {
        zframe_t* frame = zframe_new(parts[i].data(), parts[i].size());
        if (!frame) return false;
        int flags = ZFRAME_DONTWAIT | (i + 1 < parts.size() ? ZFRAME_MORE : 0);
        if (zframe_send(&frame, socket, flags) != 0) {
            zframe_destroy(&frame);
            return false;
        }
    }
    return true;
}

// All frames of one message; empty when none could be read.
std::vector<Bytes> receiveParts(zsock_t* socket) {
    std::vector<Bytes> parts;
    zmsg_t* message = zmsg_recv(socket);
    if (!message) return parts;
    for (zframe_t* frame = zmsg_first(message); frame; frame = zmsg_next(message))
        parts.push_back(bytesOf(frame));
    zmsg_destroy(&message);
    return parts;
}

bool _doesPacketContinue(const aPacket* packet) {
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
           aUEI_getBytesContinue(packet);
}

bool _isResponseRequired(const aPacket* packet, bool checkContinuation) {
    if (!packet || packet->address == ROUTE_ADDRESS) return false;
    return !(checkContinuation && _doesPacketContinue(packet));
}

// Clients may neither route the module's bus nor talk to address 0 (the host's own).
bool _isBlacklistedPacket(const aPacket* packet) {
    return packet->address == ROUTE_ADDRESS || packet->address == 0;
}

void _handleStreamEnable(Broker& broker, const Bytes& identity, const aPacket* packet) {
    if (packet->length != STREAM_ENABLE_LENGTH || packet->data[0] != 0x5D) return;
    aDebug_Trace(aDEBUG_SERVER, "ZeroMQ - Streaming Enable - Size: %zu\n", identity.size());
    if (packet->data[1] != 0x81) {
        aDebug_Trace(aDEBUG_SERVER, "unknown stream enable: %d\n", packet->data[1]);
        return;
    }
    auto& entries = broker.streamEntries;
    if (std::find(entries.begin(), entries.end(), identity) != entries.end()) return;
    entries.push_back(identity);
    aDebug_Trace(aDEBUG_SERVER, "Added stream entry");
}

// Hands packets to the sync worker as one request of the client.
void sendRequest(aServer* server, const Broker& broker, const Bytes& identity,
                 const std::vector<Bytes>& packets) {
    std::vector<Bytes> parts{identity, generationFrame(broker.generation)};
    parts.insert(parts.end(), packets.begin(), packets.end());
    if (!sendParts(server->syncBrokerEnd, parts))
        aDebug_Trace(aDEBUG_SERVER, "failed to send sync message");
}

void _packetPool_Create(aServer* server, const Bytes& identity, const aPacket* packet) {
    packetPool pool;
    pool.identity = identity;
    pool.packets.push_back(_aPacket_To_zFrame(packet));
    server->pools->push_back(std::move(pool));
}

void _packetPool_Destroy(aServer* server, std::list<packetPool>::iterator pool) {
    server->pools->erase(pool);
}

bool isPoolStart(const aPacket* packet) {
    return packet->length == POOL_START_LENGTH && aUEI_getBytesContinue(packet) &&
           aUEI_getBytesSequence(packet) == 0;
}

// Pools a client's multi-packet UEI bytes transfer so that it reaches the module unbroken.
// True when the packet was taken.
bool _handleSetUEIBytes(aServer* server, const Broker& broker, const Bytes& identity,
                        const aPacket* packet) {
    if (aUEI_isNotUEIPayload(packet)) return false;
    auto& pools = *server->pools;
    for (auto it = pools.begin(); it != pools.end();) {
        if (it->ttl == 0) {
            aDebug_Trace(aDEBUG_SERVER, "setUEIBytes is stale, destroying");
            it = pools.erase(it);
        } else {
            --it->ttl;
            ++it;
        }
    }
    auto pool = std::find_if(pools.begin(), pools.end(),
                             [&identity](const packetPool& p) { return p.identity == identity; });
    if (pool != pools.end()) {
        // Sequence numbers are 7 bits, as the module counts them.
        if (aUEI_getBytesSequence(packet) == ((pool->count + 1) & 0x7F)) {
            pool->packets.push_back(_aPacket_To_zFrame(packet));
            aDebug_Trace(aDEBUG_SERVER, "Pool Packet: %d\n", pool->count);
            if (aUEI_getBytesContinue(packet) && aUEI_getBytesFullPacket(packet)) {
                pool->count++;
                return true;
            }
            aDebug_Trace(aDEBUG_SERVER, "UEIBytes");
            sendRequest(server, broker, identity, pool->packets);
            _packetPool_Destroy(server, pool);
            return true;
        }
        // Out of sequence: the transfer is broken, whatever else arrives for it.
        aDebug_Trace(aDEBUG_SERVER, "BOOM: Sequence mix up. ");
        _packetPool_Destroy(server, pool);
        if (!isPoolStart(packet)) return true;
    } else if (!isPoolStart(packet)) {
        return false;
    }
    _packetPool_Create(server, identity, packet);
    return true;
}

void _serverWorker_broker_frontend(aServer* server, Broker& broker) {
    std::vector<Bytes> parts = receiveParts(server->frontend);
    if (parts.size() < 2) return;
    aPacket* packet = _zFrame_To_aPacket(parts[1]);
    if (!packet) {
        aDebug_Trace(aDEBUG_SERVER, "your content has no content!");
        return;
    }
    _printTFPacket(packet);
    const Bytes& identity = parts[0];
    _handleStreamEnable(broker, identity, packet);
    if (!_handleSetUEIBytes(server, broker, identity, packet)) {
        if (_isBlacklistedPacket(packet))
            aDebug_Trace(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client");
        else
            sendRequest(server, broker, identity, {_aPacket_To_zFrame(packet)});
    }
    aPacket_Destroy(&packet);
}

// One outcome from the sync worker: [identity][generation][command][reply]...
void _serverWorker_broker_sync(aServer* server, Broker& broker) {
    std::vector<Bytes> parts = receiveParts(server->syncBrokerEnd);
    if (parts.size() < 3 || parts[2].size() != 3) {
        aDebug_Trace(aDEBUG_SERVER, "no content to pop");
        return;
    }
    if (parts[1] != generationFrame(broker.generation)) return; // flushed meanwhile
    const auto* command = reinterpret_cast<const uint8_t*>(parts[2].data());
    const Bytes& identity = parts[0];
    if (command[0] == SERVER_CMD_DROPPED_PACKET) {
        aDebug_Trace(aDEBUG_SERVER, "dropping id: fifo size: %d\n", 0);
        return;
    }
    if (command[0] != SERVER_CMD_INCOMING_PACKETS) {
        aDebug_Trace(aDEBUG_SERVER, "Unknown Server cmd: %d\n", command[0]);
        return;
    }
    server->expectedReplies = static_cast<uint16_t>(command[1] << 8 | command[2]);
    for (size_t i = 3; i < parts.size(); i++) {
        if (server->expectedReplies == 0) {
            aDebug_Trace(aDEBUG_SERVER, "Error, sending more packets then expected");
            break;
        }
        if (!sendParts(server->frontend, {identity, parts[i]}))
            aDebug_Trace(aDEBUG_SERVER, "failed to send id");
        server->expectedReplies--;
    }
}

void _serverWorker_broker_streaming(aServer* server, const Broker& broker) {
    zframe_t* frame = zframe_recv(server->streamingBrokerEnd);
    if (!frame) return;
    Bytes batch = bytesOf(frame);
    zframe_destroy(&frame);
    for (const Bytes& identity : broker.streamEntries)
        if (!sendParts(server->frontend, {identity, batch}))
            aDebug_Trace(aDEBUG_SERVER, "failed to send id");
}

// An actor's last words: after them it touches nothing of the server.
void leaveActor(zsock_t* pipe, ActorExit& exit) {
    exit.mark();
    zsock_signal(pipe, 0);
}

// An actor that could not start still answers the stop, so every actor stops one way.
void failActor(zsock_t* pipe, ActorExit& exit) {
    zsock_signal(pipe, 1);
    zframe_t* frame = zframe_recv(pipe);
    zframe_destroy(&frame);
    leaveActor(pipe, exit);
}

linkSpec _createNetworkSpec(const aServer* server);
bool _isDiscoveryConfigured(const aServer* server);

// A beacon delivers [sender address][content]; the discovery text opens a publishing window.
void _serverWorker_broker_beacon(aServer* server, const linkSpec& spec) {
    char* sender = zstr_recv(server->discovery);
    if (!sender) return;
    zframe_t* content = zframe_recv(server->discovery);
    if (content && zframe_size(content) >= BEACON_FILTER_LENGTH &&
        memcmp(zframe_data(content), DISCOVERY_BEACON_FILTER, BEACON_FILTER_LENGTH) == 0 &&
        !server->publishing) {
        zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof(spec), PUBLISH_INTERVAL_MS);
        server->publishStart = static_cast<int64_t>(aTime_GetMSTicks());
        server->publishing = true;
    }
    zframe_destroy(&content);
    zstr_free(&sender);
}

void beaconHeard(aServer* server) {
    // A beacon with no address to advertise answers nobody.
    if (!_isDiscoveryConfigured(server) || server->advertisedAddress == 0) {
        aDebug_Trace(aDEBUG_SERVER, "Discovery not allowed (beacon), model not set.");
        char* sender = zstr_recv(server->discovery);
        zframe_t* content = sender ? zframe_recv(server->discovery) : nullptr;
        zframe_destroy(&content);
        zstr_free(&sender);
        return;
    }
    _serverWorker_broker_beacon(server, _createNetworkSpec(server));
}

void silenceBeacon(aServer* server) {
    if (!server->publishing ||
        static_cast<int64_t>(aTime_GetMSTicks()) - server->publishStart <= PUBLISH_WINDOW_MS)
        return;
    zstr_send(server->discovery, "SILENCE");
    server->publishing = false;
    aDebug_Trace(aDEBUG_SERVER, "Beacon silenced");
}

void _serverWorker_broker(zsock_t* pipe, void* args) {
    auto* server = static_cast<aServer*>(args);
    zsock_signal(pipe, 0);
    zpoller_t* poller = zpoller_new(pipe, server->syncBrokerEnd, server->frontend,
                                    server->streamingBrokerEnd, nullptr);
    if (poller && server->discoveryIsBeacon && zpoller_add(poller, server->discovery) != 0)
        zpoller_destroy(&poller);
    if (!poller) return failActor(pipe, server->brokerExit);
    server->publishStart = 0;
    server->publishing = false;
    Broker broker;
    zsock_signal(pipe, 0);
    aDebug_Trace(aDEBUG_SERVER, "broker create");
    for (;;) {
        void* which = zpoller_wait(poller, POLL_MS);
        zSysInterruptHandler_process();
        if (which == server->streamingBrokerEnd) {
            _serverWorker_broker_streaming(server, broker);
        } else if (which == server->syncBrokerEnd) {
            _serverWorker_broker_sync(server, broker);
        } else if (which == server->frontend) {
            _serverWorker_broker_frontend(server, broker);
        } else if (server->discoveryIsBeacon && which == server->discovery) {
            beaconHeard(server);
        } else if (which == pipe) {
            zframe_t* frame = zframe_recv(pipe);
            if (!frame) continue;
            bool flush = zframe_size(frame) == 8 && zframe_data(frame)[0] == FLUSH_SIGNAL;
            zframe_destroy(&frame);
            if (!flush) break;
            aDebug_Trace(aDEBUG_SERVER, "Flushing FIFO");
            broker.generation++;
        } else if (zpoller_terminated(poller)) {
            break;
        }
        silenceBeacon(server);
    }
    zpoller_destroy(&poller);
    aDebug_Trace(aDEBUG_SERVER, "broker task exit");
    leaveActor(pipe, server->brokerExit);
}

bool sendOutcome(aServer* server, const Bytes& identity, const Bytes& generation,
                 const std::vector<Bytes>& replies) {
    uint8_t command[3] = {SERVER_CMD_DROPPED_PACKET, 0, 0};
    if (!replies.empty()) {
        command[0] = SERVER_CMD_INCOMING_PACKETS;
        command[1] = static_cast<uint8_t>(replies.size() >> 8);
        command[2] = static_cast<uint8_t>(replies.size());
    }
    std::vector<Bytes> parts{identity, generation,
                             Bytes(reinterpret_cast<const char*>(command), sizeof(command))};
    parts.insert(parts.end(), replies.begin(), replies.end());
    return sendParts(server->syncWorkerEnd, parts);
}

// The next packet from the module within the reply wait; NULL when none came or the server
// is stopping.
aPacket* awaitReply(aServer* server) {
    uint64_t start = aTime_GetMonotonicMSTicks();
    for (;;) {
        uint64_t now = aTime_GetMonotonicMSTicks();
        if (server->stopping || now - start >= REPLY_WAIT_MS) return nullptr;
        uint64_t slice = std::min(REPLY_SLICE_MS, REPLY_WAIT_MS - (now - start));
        aPacket* reply = aLink_AwaitPacket(server->linkId, slice);
        if (reply) return reply;
        // A link gone from the table answers at once; do not spin on it.
        if (aTime_GetMonotonicMSTicks() - now < slice) aTime_MSSleep(10);
    }
}

// Takes one client's request, [identity][generation][packet]..., to the module.
void _serverWorker_syncCommands_syncBackend(aServer* server) {
    std::vector<Bytes> parts = receiveParts(server->syncWorkerEnd);
    for (size_t i = 2; i < parts.size(); i++) {
        aPacket* packet = _zFrame_To_aPacket(parts[i]);
        if (!packet) {
            aDebug_Trace(aDEBUG_SERVER, "bad-packet");
            continue;
        }
        bool wait = _isResponseRequired(packet, true);
        // A late reply to an earlier request must not pass for this one's.
        if (wait) aLink_DrainPackets(server->linkId, drainAll, nullptr);
        aErr result = aLink_PutPacket(server->linkId, packet);
        aPacket_Destroy(&packet);
        if (result != aErrNone) {
            aDebug_Trace(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n", result);
            if (wait && !sendOutcome(server, parts[0], parts[1], {}))
                aDebug_Trace(aDEBUG_SERVER, "Failed to SEND SERVER_CMD_DROPPED_PACKET!");
            continue;
        }
        if (!wait) {
            aDebug_Trace(aDEBUG_SERVER, "don't wait on this packet");
            continue;
        }
        std::vector<Bytes> replies;
        while (aPacket* reply = awaitReply(server)) {
            replies.push_back(_aPacket_To_zFrame(reply));
            bool more = _doesPacketContinue(reply);
            aPacket_Destroy(&reply);
            if (!more) break;
        }
        if (replies.empty()) aDebug_Trace(aDEBUG_SERVER, "DROPPED PACKET!");
        if (!sendOutcome(server, parts[0], parts[1], replies))
            aDebug_Trace(aDEBUG_SERVER, "Failed to SEND SERVER_CMD_INCOMING_PACKETS");
    }
}

void _serverWorker_syncCommands(zsock_t* pipe, void* args) {
    auto* server = static_cast<aServer*>(args);
    zsock_signal(pipe, 0);
    zpoller_t* poller = zpoller_new(pipe, server->syncWorkerEnd, nullptr);
    if (!poller) return failActor(pipe, server->syncExit);
    zsock_signal(pipe, 0);
    aDebug_Trace(aDEBUG_SERVER, "sync task start");
    for (;;) {
        void* which = zpoller_wait(poller, POLL_MS);
        zSysInterruptHandler_process();
        if (which == pipe) {
            zframe_t* frame = zframe_recv(pipe);
            zframe_destroy(&frame);
            break;
        }
        if (zpoller_terminated(poller)) break;
        if (which == server->syncWorkerEnd) _serverWorker_syncCommands_syncBackend(server);
    }
    zpoller_destroy(&poller);
    aDebug_Trace(aDEBUG_SERVER, "sync task exit");
    leaveActor(pipe, server->syncExit);
}

// Runs on the device link's input thread, under its filter lock.
uint8_t _streamingPacketFilter(const aPacket* packet, void* ref) {
    auto* server = static_cast<aServer*>(ref);
    bool consumed = false;
    if (aUEI_isStreamPacket(packet)) {
        uint8_t* end = server->streamBatch + server->streamBatchLength;
        end[0] = packet->address;
        end[1] = packet->length;
        std::copy(packet->data, packet->data + packet->length, end + 2);
        server->streamBatchLength =
            static_cast<uint16_t>(server->streamBatchLength + 2 + packet->length);
        consumed = true;
    }
    bool heartbeat = packet->length == 2 && packet->data[0] == 0;
    if (server->streamBatchLength && (heartbeat || server->streamBatchLength > BATCH_FULL)) {
        zframe_t* frame = zframe_new(server->streamBatch, server->streamBatchLength);
        if (frame && zframe_send(&frame, server->streamingFilterEnd, ZFRAME_DONTWAIT) != 0) {
            zframe_destroy(&frame);
            aDebug_Trace(aDEBUG_SERVER, "Failed to send packet out!");
        }
        server->streamBatchLength = 0;
    }
    return consumed ? 1 : 0;
}

// Starts an actor and waits for it to have its poller: its second signal, 0 when ready.
bool startActor(zactor_t** actor, zactor_fn* task, aServer* server) {
    *actor = zactor_new(task, server);
    return *actor && zsock_wait(*actor) == 0;
}

bool _isDiscoveryConfigured(const aServer* server) {
    return server->model != 0;
}

linkSpec _createNetworkSpec(const aServer* server) {
    linkSpec spec;
    memset(&spec, 0, sizeof(spec));
    spec.type = static_cast<linkType>(server->specType);
    spec.serialNumber = server->serialNumber;
    spec.moduleAddress = server->moduleAddress;
    spec.model = server->model;
    spec.t.ip.ipAddress = server->advertisedAddress;
    spec.t.ip.ipPort = server->frontendPort;
    aDebug_Trace(aDEBUG_BEACON_LOCK, "Creating Network Spec: Address: %d, Port: %d\n",
                 static_cast<int>(spec.t.ip.ipAddress), static_cast<int>(spec.t.ip.ipPort));
    return spec;
}

// Takes the first free query port (a receiver refuses a port another server holds) and the
// answer port beside it; with no receiver the responder runs without answering.
void takeDiscoveryPorts(aMulticast** receiver, aMulticast** sender) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK), group = htonl(LOOPBACK_GROUP);
    for (int attempt = 0; attempt < SETUP_ATTEMPTS && !*sender; attempt++) {
        int k = 0;
        for (; k < PORT_COUNT && !*receiver; k++)
            *receiver =
                aMulticast_Create(loopback, group, static_cast<uint16_t>(QUERY_PORT + k), false);
        k = *receiver ? k - 1 : PORT_COUNT - 1;
        aDebug_Trace(aDEBUG_SERVER, "Discovery port offset: %d\n", k);
        *sender = aMulticast_Create(loopback, group, static_cast<uint16_t>(ANSWER_PORT + k), true);
        if (!*sender) aMulticast_Destroy(receiver);
    }
}

void answerQuery(aServer* server, aMulticast* receiver, aMulticast* sender) {
    uint8_t query[4] = {};
    long got = aMulticast_Receive(receiver, query, sizeof(query));
    uint32_t magic = uint32_t(query[0]) | uint32_t(query[1]) << 8 | uint32_t(query[2]) << 16 |
                     uint32_t(query[3]) << 24;
    if (got != 4 || magic != DISCOVERY_MAGIC) {
        aDebug_Trace(aDEBUG_SERVER, "We something else on multicast");
        return;
    }
    aDebug_Trace(aDEBUG_SERVER, "We got the multicast magic value");
    if (!_isDiscoveryConfigured(server)) {
        aDebug_Trace(aDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.");
        return;
    }
    linkSpec spec = _createNetworkSpec(server);
    long sent = aMulticast_Send(sender, &spec, sizeof(spec));
    aDebug_Trace(aDEBUG_SERVER, "Sent: %d to the reply port\n", static_cast<int>(sent));
}

// The loopback responder. It waits on its pipe and its query socket together, so a stop is
// seen at once rather than after the socket's receive time-out.
void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args) {
    auto* server = static_cast<aServer*>(args);
    zsock_signal(pipe, 0);
    aDebug_Trace(aDEBUG_SERVER, "multicast task start");
    aMulticast* receiver = nullptr;
    aMulticast* sender = nullptr;
    takeDiscoveryPorts(&receiver, &sender);
    zsock_signal(pipe, 0);
    zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                               {nullptr, aMulticast_Descriptor(receiver), ZMQ_POLLIN, 0}};
    const int count = receiver && sender ? 2 : 1;
    for (;;) {
        int ready = zmq_poll(items, count, POLL_MS);
        zSysInterruptHandler_process();
        if (ready < 0 && (errno != EINTR || zsys_interrupted)) break;
        if (ready <= 0) continue;
        if (items[0].revents & ZMQ_POLLIN) {
            zframe_t* frame = zframe_recv(pipe);
            zframe_destroy(&frame);
            break;
        }
        if (count == 2 && (items[1].revents & ZMQ_POLLIN)) answerQuery(server, receiver, sender);
    }
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
    aDebug_Trace(aDEBUG_SERVER, "multicast task exit");
    leaveActor(pipe, server->discoveryExit);
}

// Starts czmq's beacon on the interface. The interface lock is held until the beacon has
// answered its configuration, since czmq reads the interface setting only then.
bool _createBeacon(aServer* server, const char* interfaceText) {
    if (!zBeaconInterface_setAndLock(interfaceText)) return false;
    server->discovery = zactor_new(zbeacon, nullptr);
    char* host = nullptr;
    if (server->discovery && zsock_send(server->discovery, "si", "CONFIGURE", BEACON_PORT) == 0)
        host = zstr_recv(server->discovery);
    zBeaconInterface_unlock();
    if (!server->discovery) return false;
    server->discoveryIsBeacon = true;
    aDebug_Trace(aDEBUG_SERVER, "Beacon hostname(Server): %s - Port: %d\n", host ? host : "",
                 BEACON_PORT);
    in_addr address{};
    server->advertisedAddress =
        host && inet_pton(AF_INET, host, &address) == 1 ? address.s_addr : 0;
    zstr_free(&host);
    zsock_send(server->discovery, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER, BEACON_FILTER_LENGTH);
    zsock_set_rcvtimeo(server->discovery, BEACON_RECEIVE_MS);
    return true;
}

// Chooses the discovery responder: a beacon on a real interface, else loopback multicast
// (a local-only server, or a host without a usable interface), which advertises 127.0.0.1.
bool _configureInterface(aServer* server) {
    uint32_t interfaces[MAX_INTERFACES];
    int count = aDiscovery_GetIPv4Interfaces(interfaces, MAX_INTERFACES);
    aDebug_Trace(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", count);
    if (!server->localOnly && count > 0) {
        if (server->interfaceAddress == 0 || server->interfaceAddress == htonl(INADDR_LOOPBACK))
            server->interfaceAddress = interfaces[0];
        char text[16] = "";
        aDiscovery_ConvertIPv4Interface(server->interfaceAddress, text, sizeof(text));
        aDebug_Trace(aDEBUG_SERVER, "Setting interface for user: (s)%s - (i)%d\n", text,
                     static_cast<int>(server->interfaceAddress));
        return _createBeacon(server, text);
    }
    server->advertisedAddress = htonl(INADDR_LOOPBACK);
    server->discoveryIsBeacon = false;
    return startActor(&server->discovery, _serverWorker_multicastDiscovery, server);
}

Bytes dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof(text));
    return text;
}

bool _findPortAndBindSocket(aServer* server) {
    if (server->localOnly) server->interfaceAddress = htonl(INADDR_LOOPBACK);
    Bytes where = dotted(server->interfaceAddress);
    int port = zsock_bind(server->frontend, "tcp://%s:*", where.c_str());
    aDebug_Trace(aDEBUG_SERVER, "_findPortAndBindSocket: %d - %s\n", port, where.c_str());
    if (port <= 0) return false;
    server->frontendPort = static_cast<uint16_t>(port);
    return true;
}

// Binds the broker's end of an internal pair and connects the other end to it. The pairs stay
// inside the process (inproc): over loopback TCP each message crossed ZeroMQ's I/O thread and
// the kernel, some 100 us a crossing, and any local process could connect and take requests.
bool bindPair(zsock_t* bound, zsock_t* connected, const char* name) {
    static std::atomic<unsigned> pairs{0}; // a closed endpoint's name may linger a while
    char endpoint[64];
    snprintf(endpoint, sizeof(endpoint), "inproc://tessaform-server-%s-%u", name, pairs++);
    aDebug_Trace(aDEBUG_SERVER, "_initServer: %s\n", endpoint);
    return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}

bool _initServer(aServer* server) {
    aDebug_Trace(aDEBUG_SERVER, "_initServer:");
    server->expectedReplies = 0;
    server->frontend = zsock_new_checked(ZMQ_ROUTER, __FILE__, __LINE__);
    server->streamingFilterEnd = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->streamingBrokerEnd = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->syncWorkerEnd = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->syncBrokerEnd = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->pools = new (std::nothrow) std::list<packetPool>();
    if (!server->frontend || !server->streamingFilterEnd || !server->streamingBrokerEnd ||
        !server->syncWorkerEnd || !server->syncBrokerEnd || !server->pools)
        return false;
    if (!_configureInterface(server)) return false;
    if (!_findPortAndBindSocket(server)) {
        aDebug_Trace(aDEBUG_SERVER, "Could not find open port");
        return false;
    }
    aDebug_Trace(aDEBUG_SERVER, "_initServer: server->frontendPort: %d\n",
                 server->frontendPort.load());
    if (!bindPair(server->streamingBrokerEnd, server->streamingFilterEnd, "streaming") ||
        !bindPair(server->syncBrokerEnd, server->syncWorkerEnd, "sync"))
        return false;
    if (!startActor(&server->broker, _serverWorker_broker, server) ||
        !startActor(&server->sync, _serverWorker_syncCommands, server))
        return false;
    if (aLink_InstallUserPacketFilter(server->linkId, _streamingPacketFilter, server) != aErrNone)
        return false;
    server->filterInstalled = true;
    aLink_DrainPackets(server->linkId, drainAll, nullptr);
    return true;
}

// Asks the actor to stop, takes its answering signal, and waits until it has left its task
// (a busy worker leaves any wait within a slice); only then does czmq's own destroy run,
// with a send time-out that cannot hang on a pipe whose far end is gone.
void _signalWaitDestroyActor(zactor_t** actor, ActorExit* exit) {
    if (!*actor) return;
    zsock_set_sndtimeo(*actor, STOP_TIMEOUT_MS);
    zsock_set_rcvtimeo(*actor, STOP_TIMEOUT_MS);
    if (zsock_signal(*actor, 0) == 0) zsock_wait(*actor);
    if (exit && !exit->await(STOP_LIMIT)) aDebug_Trace(aDEBUG_SERVER, "server task did not stop\n");
    zsock_set_sndtimeo(*actor, 0);
    zactor_destroy(actor);
}

void _deinitServer(aServer* server) {
    server->stopping = true;
    if (server->filterInstalled) aLink_InstallUserPacketFilter(server->linkId, nullptr, nullptr);
    server->filterInstalled = false;
    _signalWaitDestroyActor(&server->sync, &server->syncExit);
    _signalWaitDestroyActor(&server->broker, &server->brokerExit);
    if (server->discoveryIsBeacon)
        zactor_destroy(&server->discovery);
    else
        _signalWaitDestroyActor(&server->discovery, &server->discoveryExit);
    zsock_destroy(&server->syncBrokerEnd);
    zsock_destroy(&server->syncWorkerEnd);
    zsock_destroy(&server->streamingBrokerEnd);
    zsock_destroy(&server->streamingFilterEnd);
    zsock_destroy(&server->frontend);
    delete server->pools;
    server->pools = nullptr;
}

bool valid(const aServer* server) {
    return server && server->check == SERVER_CHECK;
}

} // namespace

extern "C" aServer* aServer_Create(uint32_t linkId, uint32_t interfaceAddress, bool localOnly) {
    aLinkPin pin;
    if (!sPinLink(linkId, &pin)) {
        aDebug_Trace(aDEBUG_SERVER, "Could not find device Item");
        return nullptr;
    }
    uint32_t specType = 0;
    switch (pin.type) {
    case USB:
        specType = AWEAVE_USB;
        break;
    case TCPIP:
        specType = AWEAVE_TCPIP;
        break;
    case SERIAL:
        specType = AWEAVE_SERIAL;
        break;
    default:
        aDebug_Trace(aDEBUG_SERVER, "Unhandled linkType: %d\n", pin.type);
        return nullptr;
    }
    auto* server = new (std::nothrow) aServer();
    if (!server) return nullptr;
    server->linkId = linkId;
    server->serialNumber = pin.ident0;
    server->specType = specType;
    server->localOnly = localOnly;
    server->interfaceAddress = interfaceAddress ? interfaceAddress : htonl(INADDR_LOOPBACK);
    return server;
}

extern "C" aErr aServer_Start(aServer* server) {
    if (!valid(server)) return aErrParam;
    // A second start would orphan the first one's sockets and actors.
    if (server->started) return aErrBusy;
    server->started = true;
    return _initServer(server) ? aErrNone : aErrResource;
}

extern "C" aErr aServer_Destroy(aServer** server) {
    if (!server || !valid(*server)) return aErrParam;
    _deinitServer(*server);
    (*server)->check = 0;
    delete *server;
    *server = nullptr;
    return aErrNone;
}

extern "C" aErr aServer_GetPort(aServer* server, uint16_t* port) {
    if (!valid(server) || !port) return aErrParam;
    *port = server->frontendPort;
    return aErrNone;
}

extern "C" aErr aServer_GetInterface(aServer* server, uint32_t* interfaceAddress) {
    if (!valid(server) || !interfaceAddress) return aErrParam;
    *interfaceAddress = server->interfaceAddress;
    return aErrNone;
}

extern "C" aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
    if (!valid(server)) return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

extern "C" aErr aServer_SetModel(aServer* server, uint8_t model) {
    if (!valid(server)) return aErrParam;
    server->model = model;
    return aErrNone;
}

extern "C" aErr aServer_FlushFIFO(aServer* server) {
    if (!valid(server)) return aErrParam;
    aDebug_Trace(aDEBUG_SERVER, "aServer_FlushFIFO");
    if (server->broker) zsock_signal(server->broker, FLUSH_SIGNAL);
    return aErrNone;
}
