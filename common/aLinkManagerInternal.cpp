// The process-wide link table.
#include "aLinkManagerInternal.h"

#include <mutex>
#include <new>

#include "aDebugging.h"
#include "aLinkInternal.h"
#include "aMutex.h"

namespace {

struct LinkTable {
    aLinkEntry* head = nullptr;
    uint32_t nextID = 1;
    aMutex* mutex = nullptr;
};

LinkTable _links;
std::once_flag sMutexOnce;

// Held for the whole of every table operation; created by whichever operation runs
// first, and never released.
class TableLock {
  public:
    TableLock() {
        std::call_once(sMutexOnce, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
        aMutex_Lock(_links.mutex);
    }
    ~TableLock() { aMutex_Unlock(_links.mutex); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

aLinkEntry* findById(uint32_t id) {
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->id == id) return entry;
    return nullptr;
}

aLinkEntry* findByIdentifier(uint32_t ident0, uint32_t type) {
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->ident0 == ident0 && entry->type == type) return entry;
    return nullptr;
}

aLinkEntry* unlink(uint32_t id) {
    for (aLinkEntry** at = &_links.head; *at; at = &(*at)->next) {
        if ((*at)->id != id) continue;
        aLinkEntry* entry = *at;
        *at = entry->next;
        entry->next = nullptr;
        aDebug_Trace(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%u\n",
                     static_cast<void*>(_links.head), _links.nextID);
        if (!_links.head) aDebug_Trace(aDEBUG_LINK, "NO MORE LINKS\n");
        return entry;
    }
    return nullptr;
}

void changeUseCount(aLinkEntry* entry, int delta) {
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    aDebug_Trace(aDEBUG_LINK, " sChangeUseCount(%u, %+d) ==> %d\n", entry->id, delta,
                 entry->useCount);
}

} // namespace

uint32_t sCreate(uint32_t ident0, uint32_t ident1, uint32_t type) {
    return sCreate2(ident0, ident1, 0, type);
}

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    auto* entry = new (std::nothrow) aLinkEntry{};
    if (!entry) return 0;
    try {
        entry->link = std::make_shared<aLink>();
    } catch (...) {
        delete entry;
        return 0;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    aLink* link = entry->link.get();

    TableLock lock;
    entry->id = _links.nextID++;
    link->id = entry->id;
    entry->next = _links.head;
    _links.head = entry;
    aDebug_Trace(aDEBUG_LINK,
                 " sCreate2: ident0: %u, ident1: %u, ident2: %u, type: %u, new id: %u\n", ident0,
                 ident1, ident2, type, entry->id);
    return entry->id;
}

aLinkEntry* sLookupEntryByID(uint32_t id) {
    TableLock lock;
    return findById(id);
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t ident0, uint32_t type) {
    TableLock lock;
    return findByIdentifier(ident0, type);
}

aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
    TableLock lock;
    for (aLinkEntry* entry = _links.head; entry; entry = entry->next)
        if (entry->ident0 == ident0 && entry->ident1 == ident1 && entry->ident2 == ident2)
            return entry;
    return nullptr;
}

aLinkEntry* sExtractEntry(uint32_t id) {
    TableLock lock;
    return unlink(id);
}

void sChangeUseCount(aLinkEntry* entry, int delta) {
    if (!entry) return;
    TableLock lock;
    changeUseCount(entry, delta);
}

aLink* sGetLink(uint32_t id) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    return entry ? entry->link.get() : nullptr;
}

bool sPinLink(uint32_t id, aLinkPin* pin) {
    *pin = aLinkPin{};
    TableLock lock;
    aLinkEntry* entry = findById(id);
    if (!entry || !entry->link) return false;
    pin->link = entry->link;
    pin->type = entry->type;
    pin->ident0 = entry->ident0;
    pin->ident1 = entry->ident1;
    pin->ident2 = entry->ident2;
    return true;
}

aLinkReuse sUseExisting(uint32_t ident0, uint32_t type, uint32_t* id) {
    TableLock lock;
    aLinkEntry* entry = findByIdentifier(ident0, type);
    // An entry without uses is still being made (or failed): it is nobody's to share.
    if (!entry || entry->useCount <= 0) return aLinkReuse::None;
    if (entry->server) return aLinkReuse::Served;
    changeUseCount(entry, +1);
    *id = entry->id;
    return aLinkReuse::Used;
}

bool sUseEntry(uint32_t id) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    if (!entry || entry->useCount <= 0) return false;
    changeUseCount(entry, +1);
    return true;
}

aLinkEntry* sReleaseUse(uint32_t id, bool* found) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    *found = entry != nullptr;
    if (!entry) return nullptr;
    changeUseCount(entry, -1);
    if (entry->useCount > 0) return nullptr;
    return unlink(id);
}

bool sWithLink(uint32_t id, const std::function<void(aLink&)>& fn) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    if (!entry || !entry->link) return false;
    fn(*entry->link);
    return true;
}

bool sAttachServer(uint32_t id, aServer* server) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    if (!entry || entry->server) return false;
    entry->server = server;
    return true;
}

bool sSetPairedId(uint32_t id, uint32_t pairedId) {
    TableLock lock;
    aLinkEntry* entry = findById(id);
    if (!entry) return false;
    entry->pairedId = pairedId;
    return true;
}

void sFreeEntry(aLinkEntry* entry) {
    delete entry;
}
