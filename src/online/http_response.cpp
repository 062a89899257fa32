#include "online/http_response.h"

#include <cctype>
#include <cstdio>

#include "persistence/language.h"
#include "persistence/text.h"

namespace kv::online {

namespace {

bool isHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool isDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

/// The headers of an answer: everything before the first empty line (the whole answer when it
/// has none).
std::string_view headerPart(std::string_view response) {
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string_view::npos ? response : response.substr(0, end + 2);
}

/// `text` without a leading "http://" or "https://" followed by `host` (case ignored); nullopt
/// when it does not begin so.
std::optional<std::string_view> dropSchemeAndHost(std::string_view text, std::string_view host) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (!startsWithIgnoreCase(text, scheme)) continue;
        const std::string_view rest = text.substr(scheme.size());
        if (startsWithIgnoreCase(rest, host)) return rest.substr(host.size());
    }
    return std::nullopt;
}

std::string removeMarkers(std::string_view message, std::string_view marker) {
    return replaceAll(replaceAll(message, marker, ""), kFiller, "");
}

} // namespace

std::optional<SiteAddress> parseSiteHost(std::string_view text) {
    text = trim(text, " \t");
    SiteAddress site;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        site.host = std::string(text.substr(1, close - 1));
        for (char c : site.host)
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'))
                return std::nullopt;
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port = rest.substr(1);
            if (port.empty()) return std::nullopt;
        }
    } else {
        const std::size_t colon = text.find(':');
        site.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (site.host.empty()) return std::nullopt;
        for (char c : site.host)
            if (!isHostChar(c)) return std::nullopt;
    }
    if (!port.empty()) {
        if (!isDigits(port) || port.size() > 5) return std::nullopt;
        const long number = std::stol(std::string(port));
        if (number < 1 || number > 65535) return std::nullopt;
        site.port = std::to_string(number);
    }
    const bool v6 = site.host.find(':') != std::string::npos;
    site.hostHeader = v6 ? "[" + site.host + "]" : site.host;
    if (site.port != "80") site.hostHeader += ":" + site.port;
    return site;
}

std::string siteUrl(const SiteAddress& site, std::string_view path) {
    return "http://" + site.hostHeader + std::string(path);
}

std::string requestBytes(std::string_view path, std::string_view hostHeader,
                         std::string_view userAgent, std::string_view language) {
    if (isBlank(path)) path = "/";
    if (userAgent.empty()) userAgent = "unknown";
    std::string r;
    r.reserve(path.size() + hostHeader.size() + userAgent.size() + 96);
    r.append("GET ").append(path).append(" HTTP/1.1\r\nHost: ").append(hostHeader);
    r.append("\r\nUser-Agent: ").append(userAgent).append("\r\nAccept-Language: ");
    r.append(language).append("\r\nConnection: close\r\n\r\n");
    return r;
}

std::string_view statusCode(std::string_view response) {
    if (response.size() < 12) return {};
    return response.substr(9, 3);
}

std::optional<std::string> redirectPath(std::string_view response, const SiteAddress& site) {
    if (statusCode(response) != "301") return std::nullopt;
    const std::string_view headers = headerPart(response);
    constexpr std::string_view kLocation = "\r\nLocation:";
    const std::size_t at = findIgnoreCase(headers, kLocation);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view value = headers.substr(at + kLocation.size());
    value = value.substr(0, value.find_first_of("\r\n\t"));
    value = trim(value, " ");
    // The site's name with its port, or without it (the same site when the rest is a path).
    const std::string bareHost =
        site.host.find(':') != std::string::npos ? "[" + site.host + "]" : site.host;
    std::string_view path = value;
    if (auto rest = dropSchemeAndHost(value, site.hostHeader))
        path = *rest;
    else if (auto bare = dropSchemeAndHost(value, bareHost))
        path = *bare;
    // What is left must be a path of this site: another scheme, host or port is not followed.
    if (path.empty()) return std::string("/");
    if (path.front() != '/' || path.starts_with("//")) return std::nullopt;
    return std::string(path);
}

std::string pageElement(std::string_view page, std::string_view name) {
    const std::string attribute = "id=\"" + std::string(name) + "\"";
    const std::size_t at = page.find(attribute);
    if (at == std::string_view::npos) return {};
    const std::size_t open = page.find('>', at + attribute.size());
    if (open == std::string_view::npos) return {};
    const std::size_t close = page.find("</span>", open + 1);
    if (close == std::string_view::npos) return {};
    const std::string text(page.substr(open + 1, close - open - 1));
    return replaceAll(replaceAll(text, "<br />", "\r\n"), "<br>", "\r\n");
}

std::string feedbackPath(std::string_view comment) {
    // The first kCommentLimit characters, whole.
    std::size_t bytes = 0;
    for (std::size_t n = 0; n < kCommentLimit && bytes < comment.size(); ++n)
        bytes += utf8CharSize(comment, bytes);
    const std::string text = sanitizeUtf8(comment.substr(0, bytes));
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string path(kFeedbackPrefix);
    path.reserve(path.size() + text.size() * 3);
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            path += char(c);
        } else {
            path += '%';
            path += kHex[c >> 4];
            path += kHex[c & 15];
        }
    }
    // Every space, tab and line end is encoded, so nothing is left to trim at the ends.
    return path;
}

std::string versionCheckUserAgent(std::string_view kernelRelease) {
    unsigned major = 0, minor = 0;
    const std::string release(kernelRelease);
    if (std::sscanf(release.c_str(), "%u.%u", &major, &minor) != 2) return std::string(kUserAgent);
    return std::string(kUserAgent) + " (Linux " + std::to_string(major) + "." +
           std::to_string(minor) + ")";
}

std::string_view acceptLanguage(int language) {
    if (language >= 0 && language < kLanguageCount) return kLanguageCodes[language];
    return "en";
}

VersionCheckOutcome interpretVersionCheck(std::string_view response, bool quiet,
                                          const LibraryText& library) {
    VersionCheckOutcome out;
    const std::string_view status = statusCode(response);
    if (status == "200") {
        out.clientIp = pageElement(response, "ClientIP");
        const std::string text = pageElement(response, "StatusText");
        if (response.find(kNoUpdatesMarker) != std::string_view::npos) {
            out.answer = VersionAnswer::NoUpdates;
            out.message = removeMarkers(text, kNoUpdatesMarker);
            out.caption = 5;
            out.show = !quiet;
        } else if (response.find(kUpdatesMarker) != std::string_view::npos) {
            out.answer = VersionAnswer::UpdatesAvailable;
            out.message = removeMarkers(text, kUpdatesMarker);
            out.caption = 4;
            out.show = true;
        } else {
            out.answer = VersionAnswer::NotUnderstood;
            out.message = text;
            out.caption = 6;
            out.show = !quiet;
        }
        if (isBlank(out.message)) out.message = library(out.caption);
        return out;
    }
    out.caption = 12;
    out.show = !quiet;
    if (status == "404") {
        out.answer = VersionAnswer::NotFound;
        out.message = library(15);
    } else {
        out.answer = VersionAnswer::Failed;
        out.message = library(16) + "\r\n\r\n" + std::string(response);
    }
    return out;
}

FeedbackOutcome interpretFeedback(std::string_view response, const LibraryText& library) {
    FeedbackOutcome out;
    if (statusCode(response) != "200") {
        out.message = library(13);
        out.caption = 12;
        return out;
    }
    out.sent = true;
    out.message = pageElement(response, "StatusText");
    out.caption = 11;
    if (isBlank(out.message)) out.message = library(11);
    return out;
}

} // namespace kv::online
