// Fuzzes the readers of the update server's replies with any body under status 200: they
// agree on "ok", leave their outputs alone on a refusal, hand out only pieces of the body cut
// as promised, and the build list they read sorts into a consistent order.
#include "HTTPRequest.h"
#include "UpdateServerRequest.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool condition) {
    if (!condition) abort();
}

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

bool holdsAny(const std::string& text, const char* characters) {
    return text.find_first_of(characters) != std::string::npos;
}

void requireOrdered(const UpdateServerRequest::BuildList& builds) {
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    require(sorted.size() == builds.size());
    for (const auto& entry : sorted)
        require(builds.count(entry.first) == 1 && builds.at(entry.first) == entry.second);
    for (size_t i = 1; i < sorted.size(); ++i)
        require(!_sortVersion(sorted[i], sorted[i - 1]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The readers see the body as a C string, as the transfer leaves it.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string body = raw.substr(0, raw.find('\0'));
    auto reply = [&] {
        HTTPResponse r("http://127.0.0.1/cgi/u?op=fuzz&");
        r.process(raw.data(), raw.size());
        r.set_status(200);
        return r;
    };

    HTTPResponse ping = reply();
    const bool ok = UpdateServerRequest::ReadPing(ping);

    HTTPResponse query = reply();
    std::string build = "\n", firmware = "\n";
    require(UpdateServerRequest::ReadQueryBuild(query, build, firmware) == ok);
    if (!ok) require(build == "\n" && firmware == "\n");
    if (build != "\n") require(!build.empty() && !holdsAny(build, "\n") && contains(body, build));
    if (firmware != "\n")
        require(!firmware.empty() && !holdsAny(firmware, "\r\n") && contains(body, firmware));

    HTTPResponse file = reply();
    std::string payload = "\n";
    require(UpdateServerRequest::ReadGetBuild(file, payload) == ok);
    if (!ok) require(payload == "\n");
    if (ok) require(!holdsAny(payload, "\n") && contains(body, payload));

    HTTPResponse list = reply();
    UpdateServerRequest::BuildList builds;
    require(UpdateServerRequest::ReadGetBuildList(list, builds) == ok);
    if (!ok) require(builds.empty());
    for (const auto& [key, value] : builds)
        require(!key.empty() && !holdsAny(key, ";\r\n") && !holdsAny(value, ";\r\n"));
    requireOrdered(builds);

    HTTPResponse recovery = reply();
    unsigned serial = 7, number = 7;
    require(UpdateServerRequest::ReadGetRecoveryInfo(recovery, &serial, &number) == ok);
    if (!ok) require(serial == 7 && number == 7);
    return 0;
}
