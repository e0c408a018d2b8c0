// The update-server client: the five questions the updater asks the server, each one GET
// whose reply is text lines, the first beginning "ok"; and the ordering of build lists.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class HTTPResponse;

// A class without objects. No request function lets an exception out or shows anything: each
// returns true only for status 200 and a first line beginning "ok", and logs its reasons under
// DEBUG_ServerComm. A null URL means default_url.
class UpdateServerRequest {
  public:
    using BuildList = std::map<std::string, std::string>; // build text to version text

    static const char* const default_url;

    static bool ping(const char* url);
    // build = reply line 2, firmware = line 3, each only when present.
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmware,
                           const char* url);
    // out = reply line 2 (the firmware file in Base64), emptied when absent.
    static bool GetBuild(unsigned serial, const char* firmware, const char* build, std::string& out,
                         const char* url, bool noCal);
    // builds emptied, then one entry per "build;version" line.
    static bool GetBuildList(unsigned serial, BuildList& builds, const char* url);
    // fingerprint: four words; serial = line 2 in hexadecimal, build = line 3 (strtoul base 0).
    static bool GetRecoveryInfo(unsigned* fingerprint, unsigned* serial, unsigned* build,
                                const char* url);

    // The readers of the replies, over a finished GET: the request functions' verdict and
    // outputs, without the network. They cut the body in place.
    static bool ReadPing(HTTPResponse& reply);
    static bool ReadQueryBuild(HTTPResponse& reply, std::string& build, std::string& firmware);
    static bool ReadGetBuild(HTTPResponse& reply, std::string& out);
    static bool ReadGetBuildList(HTTPResponse& reply, BuildList& builds);
    static bool ReadGetRecoveryInfo(HTTPResponse& reply, unsigned* serial, unsigned* build);

    // The entries, newest version first; versions that are not three numbers come last.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(const BuildList& builds);
    // The parts of major.minor.patch (empty parts included), or nothing unless exactly three.
    static std::vector<std::string> SplitTessaformVersion(std::string version);

    UpdateServerRequest() = delete;
};

// True when a's version is newer than b's; a version that is not three numbers is older than
// any that is, so that the test is a strict weak ordering.
bool _sortVersion(const std::pair<std::string, std::string>& a,
                  const std::pair<std::string, std::string>& b);
