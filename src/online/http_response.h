#pragma once
// The text side of the program's talks with its web site: the request it sends, how an answer is
// read (status code, redirect, page elements), the feedback encoding and what a version-check or
// feedback answer means to the user. Pure functions of their arguments; any thread.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "persistence/settings.h"

namespace kv::online {

/// The product's identity on the web.
inline constexpr std::string_view kUserAgent = "Kalvitrope/1.1.2f";
/// The product web site's host when the settings name none (`Preferences.Online.SiteHost`).
inline constexpr std::string_view kDefaultSiteHost = kDefaultOnlineSiteHost;
inline constexpr std::string_view kVersionCheckPath = "/VersionCheck/";
inline constexpr std::string_view kFeedbackPrefix = "/Feedback/?Comment=";
inline constexpr std::string_view kUpdatePagePath = "/Pages/Kalvitrope_VersionUpdate.html";
inline constexpr std::string_view kUpdatesMarker = "[Updates_Are_Available]";
inline constexpr std::string_view kNoUpdatesMarker = "[No_Updates_Are_Available]";
inline constexpr std::string_view kFiller = "<!---->";

/// Most bytes of an answer that are read; the rest is cut.
inline constexpr std::size_t kResponseLimit = 19432;
/// Paths this long (bytes) or longer are not requested.
inline constexpr std::size_t kPathLimit = 18533;
/// Characters of a comment that are sent at most.
inline constexpr std::size_t kCommentLimit = 2048;
/// Characters the feedback field takes.
inline constexpr int kFeedbackFieldLimit = 1024;

/// Where the site lies: a host name or address and a port.
struct SiteAddress {
    std::string host; // name or address, without brackets
    std::string port = "80";
    std::string hostHeader; // the Host header: the host, with ":port" unless the port is 80
};

/// Reads a site host setting: "name", "name:port", "1.2.3.4:port" or "[v6 address]:port".
/// Host names hold letters, digits, '.', '-' and '_'; ports are 1..65535. Nullopt otherwise.
std::optional<SiteAddress> parseSiteHost(std::string_view text);

/// The http:// address of a page of the site (for the browser).
std::string siteUrl(const SiteAddress& site, std::string_view path);

/// The bytes of a GET request. An empty or white-space path asks for "/"; an empty user agent
/// is sent as "unknown".
std::string requestBytes(std::string_view path, std::string_view hostHeader,
                         std::string_view userAgent, std::string_view language);

/// The status code of an answer: its characters 9 to 11 (counting from 0), or "" when the answer
/// has fewer than 12 characters.
std::string_view statusCode(std::string_view response);

/// The path to ask for next when `response` is a 301 redirect within the site: the Location
/// header's value with a leading "http://" or "https://" and the site's host taken off. Nullopt
/// when it is no 301, has no Location, or names another host or port (never followed).
std::optional<std::string> redirectPath(std::string_view response, const SiteAddress& site);

/// The text of the page element whose id is `name`: after the first ">" that follows
/// `id="name"`, up to the next "</span>", with "<br />" and "<br>" as CR LF. Empty when the page
/// has no such element or it is not closed.
std::string pageElement(std::string_view page, std::string_view name);

/// The comment as a request path: its first kCommentLimit characters as UTF-8, every byte other
/// than A-Z, a-z and 0-9 as "%XX" (upper-case hexadecimal), after kFeedbackPrefix.
std::string feedbackPath(std::string_view comment);

/// The user agent of the version check: "Kalvitrope/1.1.2f (Linux 6.1)" for the kernel release
/// "6.1.0-13-amd64" (its first two numbers); the plain agent when the release has no number.
std::string versionCheckUserAgent(std::string_view kernelRelease);

/// The Accept-Language of a language: the two-letter code of language 0..15, "en" otherwise
/// (a user's strings file).
std::string_view acceptLanguage(int language);

/// A library string by number (the caller's language tables).
using LibraryText = std::function<std::string(int id)>;

enum class VersionAnswer { NoUpdates, UpdatesAvailable, NotUnderstood, NotFound, Failed };

/// What a version-check answer means and what the user is shown.
struct VersionCheckOutcome {
    VersionAnswer answer = VersionAnswer::Failed;
    bool show = false;    // a message box is due
    std::string message;  // its text
    int caption = 12;     // its caption, a library string number
    std::string clientIp; // the site's ClientIP element of a 200 answer
};

/// Reads the answer to the version check. `quiet` (the check at start-up) shows only news of
/// updates. A marker answer without a StatusText shows its caption as the text.
VersionCheckOutcome interpretVersionCheck(std::string_view response, bool quiet,
                                          const LibraryText& library);

/// What a feedback answer means: sent (the site's StatusText to show, caption library 11), or
/// not (library 13, caption 12; the form stays open).
struct FeedbackOutcome {
    bool sent = false;
    std::string message;
    int caption = 12;
};
FeedbackOutcome interpretFeedback(std::string_view response, const LibraryText& library);

} // namespace kv::online
