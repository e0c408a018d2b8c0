// The process-wide link table: link ids to link records, the module lookups that let a
// second create share a link, and the use counts. Internal to the core (C++ only).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "discover.h" // linkType and its values: the type of an entry

struct aLink;
struct aServer;

// Type 0 of an entry: a link over a caller's stream, never found by the module lookups.
constexpr linkType LEGACY_LINK = 0;

struct aLinkEntry {
    uint32_t id;
    uint32_t pairedId; // client link of a served device: the device link it serves
    aServer* server;   // device link: the packet server in front of it
    uint32_t ident0;
    uint32_t ident1;
    uint32_t ident2;
    linkType type; // LEGACY_LINK for a link over a caller's stream
    int16_t useCount;
    // Made with the entry. Shared with callers that pinned it, so the record outlives the
    // entry until the last of them lets go.
    std::shared_ptr<aLink> link;
    aLinkEntry* next;
};

uint32_t sCreate(uint32_t ident0, uint32_t ident1, uint32_t type);
// A new entry (use count 0) with a zeroed link record; 0 when memory runs out.
uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type);

// Lookups return the newest match. The entry stays valid only while the caller holds a
// use of it; code that may race a teardown reads through sWithLink instead.
aLinkEntry* sLookupEntryByID(uint32_t id);
aLinkEntry* sLookupEntryByIdentifier(uint32_t ident0, uint32_t type);
aLinkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);

// Unlinks the entry from the table; the caller frees it.
aLinkEntry* sExtractEntry(uint32_t id);
void sChangeUseCount(aLinkEntry* entry, int delta);
// The record, valid only while the caller holds a use of the link.
aLink* sGetLink(uint32_t id);

// What a caller without the table lock works with: the record, kept alive however the link
// is torn down meanwhile, and the entry's kind and identifiers as they were.
struct aLinkPin {
    std::shared_ptr<aLink> link;
    linkType type = 0;
    uint32_t ident0 = 0;
    uint32_t ident1 = 0;
    uint32_t ident2 = 0;
};
// False (and an empty pin) when the id is not in the table.
bool sPinLink(uint32_t id, aLinkPin* pin);

// What a create finds for a module already in the table.
enum class aLinkReuse { None, Used, Served };

// Adds a use to the newest entry of (ident0, type), unless a packet server is in front
// of it or the entry has no use yet (it is still being made). The lookup and the new use are one
// step under the table lock, so a use can never be added to an entry whose teardown has begun.
aLinkReuse sUseExisting(uint32_t ident0, uint32_t type, uint32_t* id);

// Adds a use to the entry with this id, unless it has none yet (it is still being made) or
// is not in the table; the look-up and the new use are one step under the table lock.
bool sUseEntry(uint32_t id);

// Drops one use. At the last use the entry leaves the table in the same step and is
// returned, for the caller alone to tear down; otherwise NULL. *found tells whether the
// id was in the table.
aLinkEntry* sReleaseUse(uint32_t id, bool* found);

// Runs fn on the entry's link record under the table lock; false when the id is not in
// the table. The record cannot be freed meanwhile: teardown extracts under the same lock.
// Keep fn short: it blocks every table operation.
bool sWithLink(uint32_t id, const std::function<void(aLink&)>& fn);

// Puts the packet server in front of the link with this id; false when the id is not in the
// table or a server is already there (a link is served by one server at most).
bool sAttachServer(uint32_t id, aServer* server);
// Names the device link that a client link serves (0: none); false for an unknown id.
bool sSetPairedId(uint32_t id, uint32_t pairedId);

// Frees an extracted entry; its record goes with the last pin.
void sFreeEntry(aLinkEntry* entry);
