// The upgrade entity: raw sub-commands answered from the session state, the byte-buffer piece
// through the entity table, and the link drops of a loader start and a reboot.
#include "tfsim/UpgradeEntity.h"

#include <numeric>

#include "tfsim/Module.h"

namespace tfsim {

namespace {

constexpr Key kPieceKey{.command = kUpgradeCommand, .option = upgrade::kDataOption};

void putBigEndian32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t byteSum(const Bytes& bytes) {
    return std::accumulate(bytes.begin(), bytes.end(), uint32_t{0},
                           [](uint32_t sum, uint8_t b) { return sum + b; });
}

size_t connectionsOf(const Module& link) {
    size_t n = 0;
    for (const auto& e : link.journal().linkEvents())
        n += e.kind == LinkEventKind::Connected ? 1 : 0;
    return n;
}

} // namespace

UpgradeEntity::UpgradeEntity(Settings settings)
    : settings_(settings), blockSize_(settings.blockSize) {
    defineBytes(kPieceKey, {}, settings.pieceCapacity, Access::Set);
}

UpgradeEntity::~UpgradeEntity() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (restart_.joinable()) restart_.join();
}

void UpgradeEntity::setLink(Module* link) {
    std::lock_guard lock(mutex_);
    link_ = link;
}

void UpgradeEntity::setLoad(Load load, std::chrono::milliseconds absence,
                            std::chrono::milliseconds lag) {
    std::lock_guard lock(mutex_);
    load_ = load;
    absence_ = absence;
    lag_ = lag;
}

void UpgradeEntity::onRestart(std::function<void()> away, std::function<void()> back) {
    std::lock_guard lock(mutex_);
    away_ = std::move(away);
    back_ = std::move(back);
}

void UpgradeEntity::setRebootDrops(bool drops) {
    std::lock_guard lock(mutex_);
    rebootDrops_ = drops;
}

void UpgradeEntity::setBlockSize(uint16_t size) {
    std::lock_guard lock(mutex_);
    blockSize_ = size;
}

void UpgradeEntity::setStatus(uint8_t subCommand, uint8_t status) {
    std::lock_guard lock(mutex_);
    if (subCommand < sizeof status_) status_[subCommand] = status;
}

void UpgradeEntity::setSumOffset(uint32_t offset) {
    std::lock_guard lock(mutex_);
    sumOffset_ = offset;
}

void UpgradeEntity::closeAfterData(unsigned packets) {
    std::lock_guard lock(mutex_);
    closeAfter_ = packets;
}

std::vector<UpgradeBlock> UpgradeEntity::blocks() const {
    std::lock_guard lock(mutex_);
    return blocks_;
}

Bytes UpgradeEntity::image(uint32_t address) const {
    std::lock_guard lock(mutex_);
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it)
        if (it->address == address) return it->written;
    return {};
}

unsigned UpgradeEntity::requests(uint8_t subCommand) const {
    std::lock_guard lock(mutex_);
    return subCommand < std::size(requests_) ? requests_[subCommand] : 0;
}

bool UpgradeEntity::handle(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    if (d.empty() || d[0] != kUpgradeCommand) return false;
    // Sub-commands carry no flag bits; a UEI request always does.
    if (d.size() >= 2 && (d[1] & 0xC0) == 0) {
        answerRaw(request, replies);
        return true;
    }
    return EntityTable::handle(request, replies);
}

void UpgradeEntity::written(const Key& key, Action&) {
    if (!(key == kPieceKey)) return;
    const Bytes taken = bytes(kPieceKey);
    std::lock_guard lock(mutex_);
    requests_[upgrade::kDataOption]++;
    piece_.insert(piece_.end(), taken.begin(), taken.end());
    if (!blocks_.empty())
        blocks_.back().received.insert(blocks_.back().received.end(), taken.begin(), taken.end());
}

void UpgradeEntity::answerRaw(const Packet& request, Replies& replies) {
    const Bytes& d = request.data;
    const uint8_t sub = d[1];
    std::optional<Fault> fault = faults().take(kUpgradeCommand, sub);
    // A reply the fault spoils confirms nothing: the module did not take the request's data.
    const bool spoiled = fault && (fault->silent || fault->length || fault->echoIndex);
    Bytes data{kUpgradeCommand, sub};
    Action then = Action::None;
    std::optional<Restarting> restart;
    Module* link = nullptr;
    std::function<void()> away, back;
    {
        std::lock_guard lock(mutex_);
        if (sub < std::size(requests_)) requests_[sub]++;
        switch (sub) {
        case upgrade::kInit:
            putBigEndian32(data, settings_.loadBase);
            break;
        case upgrade::kPrepare: {
            data[1] = upgrade::kStatus;
            const uint8_t status = d.size() == 7 ? status_[upgrade::kPrepare] : 1;
            data.push_back(status);
            data.push_back(static_cast<uint8_t>(blockSize_ >> 8));
            data.push_back(static_cast<uint8_t>(blockSize_));
            if (status == 0 && !spoiled) {
                UpgradeBlock block{.flags = d[2]};
                block.address =
                    (uint32_t{d[3]} << 24) | (uint32_t{d[4]} << 16) | (uint32_t{d[5]} << 8) | d[6];
                blocks_.push_back(block);
                piece_.clear();
            }
            break;
        }
        case upgrade::kData: {
            const Bytes payload(d.begin() + 2, d.end());
            if (closeAfter_ && (*closeAfter_)-- == 0) {
                closeAfter_.reset();
                replies.add(Reply{.then = Action::Close});
                return;
            }
            data.push_back(static_cast<uint8_t>(payload.size()));
            if (!spoiled) {
                piece_.insert(piece_.end(), payload.begin(), payload.end());
                if (!blocks_.empty())
                    blocks_.back().received.insert(blocks_.back().received.end(), payload.begin(),
                                                   payload.end());
            }
            break;
        }
        case upgrade::kSum:
            data[1] = upgrade::kStatus;
            data.push_back(status_[upgrade::kSum]);
            putBigEndian32(data, byteSum(piece_) + sumOffset_);
            if (!blocks_.empty()) blocks_.back().sums++;
            break;
        case upgrade::kWrite: {
            data[1] = upgrade::kStatus;
            // The length must be the piece's: a host that miscounts gets a refusal.
            const bool agrees = d.size() == 4 && ((size_t{d[2]} << 8) | d[3]) == piece_.size();
            const uint8_t status = !agrees ? 1 : status_[upgrade::kWrite];
            data.push_back(status);
            if (status == 0 && !spoiled && !blocks_.empty()) {
                blocks_.back().written.insert(blocks_.back().written.end(), piece_.begin(),
                                              piece_.end());
                piece_.clear();
            }
            break;
        }
        case upgrade::kLoad:
            if (load_ == Load::ReplyThenRestart && link_) {
                restart = Restarting{.lag = lag_, .absence = absence_, .greets = false};
                link = link_;
                away = away_;
                back = back_;
            }
            if (load_ == Load::Reply || load_ == Load::ReplyThenRestart) break;
            if (load_ == Load::Silent) return;
            then = Action::Close;
            if (load_ == Load::Restart && link_) {
                restart = Restarting{.absence = absence_};
                link = link_;
                away = away_;
                back = back_;
            }
            data.clear();
            break;
        case upgrade::kReboot:
            if (!rebootDrops_) return;
            // Runs on the endpoint's thread, so it applies before the host can reconnect.
            if (link_) link_->setAccepting(false);
            replies.add(Reply{.then = Action::Close});
            return;
        default:
            return; // unknown sub-commands are not answered
        }
    }
    if (restart) restartLater(*restart, link, request.address, std::move(away), std::move(back));
    if (data.empty()) {
        replies.add(Reply{.then = then});
        return;
    }
    answer(request.address, std::move(data), fault, replies, {}, then);
}

// Runs on the endpoint's thread. Without a lag the reply's action ends the connection, and
// refusing connects here takes effect before the host can try; with one, the restart's
// thread ends it once the lag is over.
void UpgradeEntity::restartLater(Restarting how, Module* link, uint8_t address,
                                 std::function<void()> away, std::function<void()> back) {
    auto leave = [link, away = std::move(away)] {
        if (away) away();
        link->setAccepting(false);
    };
    const bool now = how.lag.count() == 0;
    if (now) leave();
    size_t before = connectionsOf(*link); // connection ids count from 1
    uint64_t since = link->mark();
    if (restart_.joinable()) restart_.join();
    restart_ = std::thread([this, how, now, link, address, before, since, leave = std::move(leave),
                            back = std::move(back)]() mutable {
        auto stopping = [this](std::chrono::milliseconds wait) {
            std::unique_lock lock(mutex_);
            return stopped_.wait_for(lock, wait, [this] { return stopping_; });
        };
        if (!now) {
            if (stopping(how.lag)) return;
            leave();
            before = connectionsOf(*link);
            since = link->mark();
            (void)link->close();
        }
        const std::chrono::milliseconds absence = how.absence;
        if (stopping(absence)) return;
        link->setAccepting(true);
        if (back) back();
        if (!how.greets) return;
        // The greeting goes once the host has synced on the new connection and then gone quiet
        // (its address probe follows the syncs): bytes before the end of its sync are lost.
        uint64_t next = since;
        bool heard = false;
        while (!stopping(std::chrono::milliseconds(0))) {
            auto got = link->waitForPacket(match::any(), std::chrono::milliseconds(300), next);
            if (got) {
                next = got->seq + 1;
                heard = heard || (got->connection > before && match::sync()(got->packet));
                continue;
            }
            if (!heard) continue;
            (void)link->send(Packet{address, {kUpgradeCommand, upgrade::kLoad}});
            return;
        }
    });
}

} // namespace tfsim
