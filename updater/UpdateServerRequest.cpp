// The update-server requests: each builds its query, runs one GET and reads the reply lines.
#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string_view>

const char* const UpdateServerRequest::default_url = "http://update.keldoran.com/cgi/u";

namespace {

using Query = std::map<std::string, std::string>;

const char* const delimiters = "\n";

// Percent-encodes all but RFC 3986's unreserved characters: a text from the server (a firmware
// name) may carry spaces, "&" or "=", which would otherwise break the query apart.
std::string sEscape(std::string_view value) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        }
    }
    return out;
}

Query sQuery(std::initializer_list<std::pair<const char*, std::string>> pairs) {
    Query query;
    for (const auto& [key, value] : pairs)
        query.emplace(key, sEscape(value));
    return query;
}

std::string sSerial(unsigned serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

const char* sText(const char* text) {
    return text ? text : "";
}

// The GET of one request; a failure is logged under the operation's name.
std::optional<HTTPResponse> sFetch(const char* name, const char* url, Query& query) {
    try {
        return HTTPRequest::GET(url ? url : UpdateServerRequest::default_url, query);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return std::nullopt;
    }
}

// Status 200 and a first line beginning "ok"; then save continues the cut after line 1.
// statusName names the operation in the line of a refused status.
char* sAccept(const char* name, const char* statusName, HTTPResponse& reply, char** save) {
    if (reply.get_status() != 200) {
        Log::log(DEBUG_ServerComm, "%s ==> [%ld] [%s]\n", statusName, reply.get_status(),
                 reply.get_response());
        return nullptr;
    }
    char* first = strtok_r(reply.get_response(), delimiters, save);
    if (!first || strncmp(first, "ok", 2) != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, reply.get_request());
        return nullptr;
    }
    return first;
}

using VersionKey = std::optional<std::array<unsigned, 3>>; // major, minor, patch

VersionKey sVersionKey(const std::string& version) {
    const std::vector<std::string> parts = UpdateServerRequest::SplitTessaformVersion(version);
    if (parts.empty()) return std::nullopt;
    std::array<unsigned, 3> key{};
    try {
        for (size_t i = 3; i-- > 0;)
            key[i] = static_cast<unsigned>(std::stoi(parts[i])) & 0xFF;
    } catch (const std::exception& e) { // std::invalid_argument and std::out_of_range alike
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return std::nullopt;
    }
    return key;
}

// A version without a key is older than any with one, and equal to another without.
bool sNewer(const VersionKey& a, const VersionKey& b) {
    if (!a) return false;
    if (!b) return true;
    return *a > *b;
}

} // namespace

bool UpdateServerRequest::ReadPing(HTTPResponse& reply) {
    char* save = nullptr;
    return sAccept("ping", "PING", reply, &save) != nullptr;
}

bool UpdateServerRequest::ReadQueryBuild(HTTPResponse& reply, std::string& build,
                                         std::string& firmware) {
    char* save = nullptr;
    if (!sAccept("QueryBuild", "QueryBuild", reply, &save)) return false;
    // The build line keeps a CR of a CR LF end; stoul reads past it.
    if (const char* line = strtok_r(nullptr, delimiters, &save)) build = line;
    if (const char* line = strtok_r(nullptr, "\r\n", &save)) firmware = line;
    return true;
}

bool UpdateServerRequest::ReadGetBuild(HTTPResponse& reply, std::string& out) {
    char* save = nullptr;
    if (!sAccept("GetBuild", "GetBuild", reply, &save)) return false;
    out.clear();
    if (const char* line = strtok_r(nullptr, delimiters, &save)) {
        out = line;
        // A CR of a CR LF end would leave the Base64 text a character too long to decode.
        if (!out.empty() && out.back() == '\r') out.pop_back();
    }
    return true;
}

bool UpdateServerRequest::ReadGetBuildList(HTTPResponse& reply, BuildList& builds) {
    char* save = nullptr;
    if (!sAccept("GetBuildList", "GetBuildList", reply, &save)) return false;
    while (char* piece = strtok_r(nullptr, delimiters, &save)) {
        if (strlen(piece) < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", piece);
        char* entrySave = nullptr;
        const char* key = strtok_r(piece, ";\r\n", &entrySave);
        if (!key) continue;
        const char* value = sText(strtok_r(nullptr, ";\r\n", &entrySave));
        builds.emplace(key, value);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", key, value);
    }
    return true;
}

bool UpdateServerRequest::ReadGetRecoveryInfo(HTTPResponse& reply, unsigned* serial,
                                              unsigned* build) {
    char* save = nullptr;
    const char* first = sAccept("GetRecoveryInfo", "GetRecoveryInfo", reply, &save);
    if (!first) return false;
    const char* second = strtok_r(nullptr, delimiters, &save);
    const char* third = strtok_r(nullptr, delimiters, &save);
    if (second && serial) *serial = static_cast<unsigned>(strtoul(second, nullptr, 16));
    if (third && build) *build = static_cast<unsigned>(strtoul(third, nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first,
             sText(second), sText(third));
    return true;
}

bool UpdateServerRequest::ping(const char* url) {
    Query query = sQuery({{"op", "hi"}, {"rv", "2"}});
    std::optional<HTTPResponse> reply = sFetch("ping", url, query);
    return reply && ReadPing(*reply);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware,
                                     const char* url) {
    Query query = sQuery({{"op", "qu"}, {"sn", sSerial(serial)}});
    std::optional<HTTPResponse> reply = sFetch("QueryBuild", url, query);
    return reply && ReadQueryBuild(*reply, build, firmware);
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* firmware, const char* build,
                                   std::string& out, const char* url, bool noCal) {
    Query query = sQuery({{"bld", sText(build)},
                          {"fw", sText(firmware)},
                          {"no_cal", noCal ? "true" : "false"},
                          {"op", "bird"},
                          {"sn", sSerial(serial)}});
    std::optional<HTTPResponse> reply = sFetch("GetBuild", url, query);
    return reply && ReadGetBuild(*reply, out);
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* url) {
    builds.clear();
    Query query = sQuery({{"op", "builds"}, {"sn", sSerial(serial)}});
    std::optional<HTTPResponse> reply = sFetch("GetBuildList", url, query);
    return reply && ReadGetBuildList(*reply, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned* fingerprint, unsigned* serial, unsigned* build,
                                          const char* url) {
    if (!fingerprint) {
        Log::log(DEBUG_ServerComm, "%s ==> [no fingerprint]\n", "GetRecoveryInfo");
        return false;
    }
    Query query = sQuery({{"brief", "true"}, {"op", "fix"}});
    // The fp value arrives encoded already: its words are joined by "%20".
    char fp[48];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    query.emplace("fp", fp);
    std::optional<HTTPResponse> reply = sFetch("GetRecoveryInfo", url, query);
    return reply && ReadGetRecoveryInfo(*reply, serial, build);
}

std::vector<std::string> UpdateServerRequest::SplitTessaformVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
    // Each version is converted once, not at every comparison of the sort.
    struct Entry {
        std::pair<std::string, std::string> build;
        VersionKey key;
    };
    std::vector<Entry> entries;
    entries.reserve(builds.size());
    for (const auto& build : builds)
        entries.push_back({build, sVersionKey(build.second)});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return sNewer(a.key, b.key); });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (Entry& e : entries)
        sorted.push_back(std::move(e.build));
    return sorted;
}

bool _sortVersion(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b) {
    return sNewer(sVersionKey(a.second), sVersionKey(b.second));
}
