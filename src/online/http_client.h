#pragma once
// The program's own small HTTP/1.1 client: one GET over one TCP connection, the answer read
// until the site closes the connection, the answer is complete or kResponseLimit bytes arrived,
// within a time limit, and at most one redirect within the site followed. It blocks the calling
// thread; call it from a thread of its own (OnlineTask) when a window must stay responsive.
#include <atomic>
#include <string>

#include "online/http_response.h"

namespace kv::online {

/// Time allowed for one request: name lookup, connection, sending and the answer, ms.
inline constexpr int kRequestTimeoutMs = 10000;

struct HttpRequest {
    std::string siteHost = std::string(kDefaultSiteHost); // "name" or "name:port"
    std::string path;
    std::string userAgent = std::string(kUserAgent);
    std::string language = "en"; // Accept-Language
    bool followRedirect = true;
    int timeoutMs = kRequestTimeoutMs; // per request (a followed redirect has its own)
    /// Set from another thread to give up at once; the request then ends as an error.
    const std::atomic<bool>* cancel = nullptr;
};

/// Sends the GET and returns the answer whole (status line, headers and body) as UTF-8, cut
/// at kResponseLimit bytes. Failures return an error text: "Error: " and the system's reason when
/// the site cannot be reached or the request cannot be sent, "Error " and the reason when no
/// answer arrives, "Error: the site host ..." for a site host that is no host. A path of
/// kPathLimit bytes or more returns "". Any thread.
std::string httpGet(const HttpRequest& request);

/// The user agent of the version check on this system (the kernel's release).
std::string systemVersionCheckUserAgent();

} // namespace kv::online
