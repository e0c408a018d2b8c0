// A thin HTTP(S) GET over libcurl's easy interface: one handle and one connection per request,
// the whole body collected in memory.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// One finished GET: the URL that was fetched, its status and its body.
class HTTPResponse {
  public:
    explicit HTTPResponse(std::string request) : request_(std::move(request)) {}
    ~HTTPResponse() = default;

    void set_status(long status) { status_ = status; }
    // Appends bytes to the body, in arrival order.
    void process(const char* data, size_t length) { response_.append(data, length); }

    const char* get_request() const { return request_.c_str(); }
    long get_status() const { return status_; }
    // Modifiable, so that the body can be cut into lines in place.
    char* get_response() { return response_.data(); }
    size_t get_length() const { return response_.size(); }

  private:
    std::string request_;
    long status_ = 0; // 0 until the transfer has finished
    std::string response_;
};

class HTTPRequest {
  public:
    // A server that accepts a connection and then sends nothing must not hold a request (and
    // the download thread) for ever: the connection, TLS included, gets this long...
    static constexpr long ConnectTimeoutSeconds = 20;
    // ...and a transfer that moves less than a byte a second for this long ends.
    static constexpr long StallSeconds = 30;
    // Far above any firmware file, but it keeps a runaway body from exhausting memory.
    static constexpr size_t MaxResponseBytes = 16 * 1024 * 1024;

    // Fetches url, followed by "?" and "key=value&" for each query entry in key order when
    // the query holds any; nothing is escaped here. Throws std::runtime_error on failure.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);
};
