// The process-wide link table: link ids to link records, the module lookups that let a
// second create share a link, and the use counts. Internal to the core (C++ only).
#pragma once

#include <cstdint>
#include <functional>

struct aLink;
struct aServer;

struct aLinkEntry {
    uint32_t id;
    uint32_t pairedId; // client link of a served device: the device link it serves
    aServer* server;   // device link: the packet server in front of it
    uint32_t ident0;
    uint32_t ident1;
    uint32_t ident2;
    uint32_t type; // linkType; 0 for a link over a caller's stream
    int16_t useCount;
    aLink* link; // allocated and freed together with the entry
    aLinkEntry* next;
};

// Kinds of link entry.
enum : uint32_t {
    aLINK_TYPE_LEGACY = 0,
    aLINK_TYPE_USB = 1,
    aLINK_TYPE_TCPIP = 2,
    aLINK_TYPE_SERIAL = 3,
    aLINK_TYPE_CLIENT = 4,
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
aLink* sGetLink(uint32_t id);

// What a create finds for a module already in the table.
enum class aLinkReuse { None, Used, Served };

// Adds a use to the newest entry of (ident0, type), unless a packet server is in front
// of it or the entry has no use yet (it is still being made). The lookup and the new use are one
// step under the table lock, so a use can never be added to an entry whose teardown has begun.
aLinkReuse sUseExisting(uint32_t ident0, uint32_t type, uint32_t* id);

// Drops one use. At the last use the entry leaves the table in the same step and is
// returned, for the caller alone to tear down; otherwise NULL. *found tells whether the
// id was in the table.
aLinkEntry* sReleaseUse(uint32_t id, bool* found);

// Runs fn on the entry's link record under the table lock; false when the id is not in
// the table. The record cannot be freed meanwhile: teardown extracts under the same lock.
// Keep fn short: it blocks every table operation.
bool sWithLink(uint32_t id, const std::function<void(aLink&)>& fn);

// Frees an extracted entry and its link record.
void sFreeEntry(aLinkEntry* entry);
