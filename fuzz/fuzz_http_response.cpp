// Answers of the web site of any content: reading them never crashes or hangs, a followed
// redirect is always a path of the site, page elements are taken from the page, and comments of
// any bytes encode to letters, digits and escapes only.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "online/http_response.h"
#include "persistence/text.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kv::online;
    static const SiteAddress site = *parseSiteHost("kalvitrope.org:8080");
    const std::string response =
        kv::sanitizeUtf8(std::string_view(reinterpret_cast<const char*>(data), size));

    const std::string_view status = statusCode(response);
    require(status.empty() == (response.size() < 12), "status code");
    if (const auto path = redirectPath(response, site)) {
        require(status == "301", "redirect without 301");
        require(!path->empty() && path->front() == '/' && !path->starts_with("//"),
                "redirect out of the site");
        require(path->find_first_of("\r\n\t") == std::string::npos, "redirect with a line end");
    }
    for (const char* name : {"ClientIP", "StatusText"}) {
        const std::string text = pageElement(response, name);
        require(text.size() <= response.size() * 2, "element longer than the page");
    }
    const LibraryText library = [](int id) { return "library " + std::to_string(id); };
    for (bool quiet : {false, true}) {
        const VersionCheckOutcome out = interpretVersionCheck(response, quiet, library);
        require(!out.message.empty(), "empty version-check message");
        require(!out.show || !quiet || out.answer == VersionAnswer::UpdatesAvailable,
                "quiet check shows more than news of updates");
    }
    const FeedbackOutcome feedback = interpretFeedback(response, library);
    require(feedback.sent == (status == "200"), "feedback outcome");

    const std::string path =
        feedbackPath(std::string_view(reinterpret_cast<const char*>(data), size));
    for (std::size_t i = kFeedbackPrefix.size(); i < path.size(); ++i) {
        const char c = path[i];
        const bool plain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        require(plain || c == '%', "feedback byte not encoded");
    }
    return 0;
}
