// The HTTP client of the update-server requests: libcurl's easy interface, a GET per call.
#include "HTTPRequest.h"

#include "Log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace {

// libcurl calls this for each piece of the body; a return short of the piece ends the transfer.
size_t _rcv_data(void* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<HTTPResponse*>(target);
    if (size != 0 && count > SIZE_MAX / size) return 0;
    const size_t length = size * count;
    const auto* bytes = static_cast<const char*>(data);
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %zu, %zu, %08X) [%100.*s]\n", size, count,
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)),
             static_cast<int>(std::min<size_t>(length, 100)), bytes);
    if (length > HTTPRequest::MaxResponseBytes - response->get_length()) {
        Log::log(DEBUG_ServerComm, "rcv_data refuses a body over %zu bytes\n",
                 HTTPRequest::MaxResponseBytes);
        return 0;
    }
    response->process(bytes, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %zu\n", length);
    return length;
}

struct HandleRelease {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

} // namespace

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query) {
    std::unique_ptr<CURL, HandleRelease> handle(curl_easy_init());

    std::string full = url ? url : "";
    if (!query.empty()) {
        full += "?";
        for (const auto& [key, value] : query)
            full += key + "=" + value + "&";
    }
    HTTPResponse response(full);
    if (!handle) throw std::runtime_error("Could not create curl instance");

    CURL* h = handle.get();
    CURLcode code = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_URL, full.c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // Requests run on the download thread: libcurl must not use signals for its time-outs.
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSeconds);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, StallSeconds);

    long status = 0;
    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
        code = curl_easy_perform(h);
    }
    if (code == CURLE_OK) code = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));

    response.set_status(status);
    return response;
}
