// The web site client against a small server on 127.0.0.1: the request bytes, the redirect rule,
// answers in pieces, cut, hostile or missing, and what the version check and feedback make of them.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "online/http_client.h"
#include "online/online_task.h"
#include "persistence/language.h"
#include "test_server.h"

using namespace kv;
using namespace kv::online;
using kv::test::answer;
using kv::test::Reply;
using kv::test::requestPath;
using kv::test::TestServer;

namespace {

/// The Host header of a recorded request.
std::string hostOf(const std::string& request) {
    const std::size_t at = request.find("\r\nHost: ") + 8;
    return request.substr(at, request.find("\r\n", at) - at);
}

std::string library(int id) {
    return languages().library(id);
}

/// A site whose pages are fixed answers by path; unknown paths answer 404.
TestServer site(std::map<std::string, Reply> pages) {
    return TestServer([pages = std::move(pages)](const std::string& request) {
        const std::string path = requestPath(request);
        const auto page = pages.find(path.substr(0, path.find('?')));
        if (page != pages.end()) return page->second;
        return Reply{{answer("404 Not Found", "<html>gone</html>")}};
    });
}

HttpRequest requestTo(const TestServer& server, std::string path = std::string(kVersionCheckPath)) {
    HttpRequest r;
    r.siteHost = server.host();
    r.path = std::move(path);
    r.timeoutMs = 3000;
    return r;
}

std::string statusPage(const std::string& statusText, const std::string& extra = {}) {
    return "<html><body>" + extra + "<span id=\"ClientIP\">192.0.2.7</span>" +
           "<p><span id=\"StatusText\" class=\"s\">" + statusText + "</span></p></body></html>";
}

} // namespace

TEST(HttpClient, SendsTheExactRequestAndReturnsTheWholeAnswer) {
    const std::string page = answer("200 OK", "<b>hello</b>");
    TestServer server = site({{"/VersionCheck/", Reply{{page}}}, {"/", Reply{{page}}}});
    HttpRequest r = requestTo(server);
    r.language = "de";
    EXPECT_EQ(httpGet(r), page);
    r.path = " \t";
    r.userAgent = "";
    EXPECT_EQ(httpGet(r), page);
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "GET /VersionCheck/ HTTP/1.1\r\nHost: " + server.host() +
                           "\r\nUser-Agent: Kalvitrope/1.1.2f\r\nAccept-Language: de\r\n"
                           "Connection: close\r\n\r\n");
    EXPECT_EQ(seen[1], "GET / HTTP/1.1\r\nHost: " + server.host() +
                           "\r\nUser-Agent: unknown\r\nAccept-Language: de\r\n"
                           "Connection: close\r\n\r\n");
}

TEST(HttpClient, FollowsOneRedirectWithinTheSiteOnly) {
    const std::string final = answer("200 OK", "final page");
    TestServer server = TestServer([&](const std::string& request) -> Reply {
        const std::string path = requestPath(request);
        if (path == "/https") // the same site named with https://, mixed case
            return {
                {answer("301 Moved", "", "Location:  HTTPS://" + hostOf(request) + "/final \r\n")}};
        if (path == "/bare") // the same site without its port
            return {{answer("301 Moved", "", "location: http://127.0.0.1/final\r\n")}};
        if (path == "/loop") return {{answer("301 Moved", "", "Location: /loop\r\n")}};
        if (path == "/elsewhere")
            return {{answer("301 Moved", "", "Location: http://example.com/final\r\n")}};
        if (path == "/otherport")
            return {{answer("301 Moved", "", "Location: http://127.0.0.1:1/final\r\n")}};
        if (path == "/nolocation") return {{answer("301 Moved", "")}};
        if (path == "/final") return {{final}};
        return {{answer("404 Not Found", "")}};
    });
    auto get = [&](const std::string& path, bool follow = true) {
        HttpRequest r = requestTo(server, path);
        r.followRedirect = follow;
        return httpGet(r);
    };
    EXPECT_EQ(get("/https"), final);
    EXPECT_EQ(get("/bare"), final);
    EXPECT_EQ(statusCode(get("/https", false)), "301");
    // A second 301 is returned as it is; other hosts, ports and a missing Location are not
    // followed.
    for (const char* path : {"/loop", "/elsewhere", "/otherport", "/nolocation"})
        EXPECT_EQ(statusCode(get(path)), "301") << path;
    std::vector<std::string> paths;
    for (const auto& r : server.requests())
        paths.push_back(requestPath(r));
    EXPECT_EQ(paths,
              (std::vector<std::string>{"/https", "/final", "/bare", "/final", "/https", "/loop",
                                        "/loop", "/elsewhere", "/otherport", "/nolocation"}));
}

TEST(HttpClient, ReadsAnswersInPiecesAndCutsLongOnes) {
    const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
    TestServer server = site({
        {"/pieces", Reply{{"HTTP/1.1 2", "00 OK\r\nConnection: close\r\n\r\n<span id=\"Stat",
                           "usText\">split</span>"},
                          30}},
        // 20 MB of body: only the first kResponseLimit bytes are read.
        {"/huge", Reply{{head, std::string(1 << 20, 'x')}, 0, false, 19}},
        // A Content-Length answer on a connection the site keeps open ends when complete.
        {"/kept", Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}, 0, true}},
        {"/broken", Reply{{head + "caf\xC3 \xFF\xFE end"}}},
    });
    const std::string pieces = httpGet(requestTo(server, "/pieces"));
    EXPECT_EQ(pageElement(pieces, "StatusText"), "split");

    const auto start = std::chrono::steady_clock::now();
    const std::string huge = httpGet(requestTo(server, "/huge"));
    EXPECT_EQ(huge.size(), kResponseLimit);
    EXPECT_EQ(huge.substr(0, head.size()), head);
    EXPECT_EQ(httpGet(requestTo(server, "/kept")),
              "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // Malformed UTF-8 arrives as U+FFFD.
    EXPECT_EQ(httpGet(requestTo(server, "/broken")),
              head + "caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD end");
}

TEST(HttpClient, FailuresAreErrorTextsWithinTheTimeLimit) {
    TestServer server = site({
        {"/closed", Reply{}},
        {"/silent", Reply{{}, 0, true}},
        {"/partial", Reply{{"HTTP/1.1 200 OK\r\n"}, 0, true}},
    });
    EXPECT_EQ(httpGet(requestTo(server, "/closed")),
              "Error The server closed the connection without answering.");
    HttpRequest r = requestTo(server, "/silent");
    r.timeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGet(r), "Error Connection timed out");
    r.path = "/partial"; // what came before the time limit is the answer
    EXPECT_EQ(httpGet(r), "HTTP/1.1 200 OK\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    // Nothing listens on the port once the server is gone: refused.
    HttpRequest refused;
    {
        TestServer gone = site({});
        refused.siteHost = gone.host();
    }
    EXPECT_EQ(httpGet(refused), "Error: Connection refused");
    refused.siteHost = "bad host\r\nX: y";
    EXPECT_EQ(httpGet(refused).rfind("Error: the site host", 0), 0u);
    // Paths of kPathLimit bytes are never sent.
    r.path = "/" + std::string(kPathLimit - 1, 'a');
    const std::size_t before = server.requests().size();
    EXPECT_EQ(httpGet(r), "");
    EXPECT_EQ(server.requests().size(), before);
}

TEST(VersionCheck, AnswersOfTheSiteAndWhatTheUserSees) {
    TestServer server = site({
        {"/none", Reply{{answer("200 OK", statusPage("You have the latest.<!---->[No_Updates_Are_"
                                                     "Available]<br>Thanks"))}}},
        {"/news", Reply{{answer("200 OK", statusPage("[Updates_Are_Available]Version 1.2<br />"
                                                     "is out<!---->"))}}},
        {"/both", Reply{{answer("200 OK", statusPage("Both [Updates_Are_Available]",
                                                     "[No_Updates_Are_Available]"))}}},
        {"/odd", Reply{{answer("200 OK", statusPage("What?"))}}},
        {"/bare", Reply{{answer("200 OK", "[Updates_Are_Available]")}}},
        {"/short", Reply{{"HTTP/1.1 2"}}},
        {"/nostatus", Reply{{"<html>no status line at all</html>"}}},
        {"/closed", Reply{}},
    });
    struct Case {
        const char* path;
        bool quiet;
        VersionAnswer answer;
        bool show;
        int caption;
        std::string message;
    };
    const Case cases[] = {
        {"/none", false, VersionAnswer::NoUpdates, true, 5, "You have the latest.\r\nThanks"},
        {"/none", true, VersionAnswer::NoUpdates, false, 5, "You have the latest.\r\nThanks"},
        {"/news", true, VersionAnswer::UpdatesAvailable, true, 4, "Version 1.2\r\nis out"},
        {"/both", false, VersionAnswer::NoUpdates, true, 5, "Both [Updates_Are_Available]"},
        {"/odd", false, VersionAnswer::NotUnderstood, true, 6, "What?"},
        {"/odd", true, VersionAnswer::NotUnderstood, false, 6, "What?"},
        {"/bare", false, VersionAnswer::UpdatesAvailable, true, 4, "Updates are available"},
        {"/missing", false, VersionAnswer::NotFound, true, 12,
         "The version checker was not found by the server."},
        {"/missing", true, VersionAnswer::NotFound, false, 12,
         "The version checker was not found by the server."},
        {"/short", false, VersionAnswer::Failed, true, 12,
         "An error occurred while trying to check the version.\r\n\r\nHTTP/1.1 2"},
        {"/nostatus", false, VersionAnswer::Failed, true, 12,
         "An error occurred while trying to check the version.\r\n\r\n<html>no status line at "
         "all</html>"},
        {"/closed", true, VersionAnswer::Failed, false, 12,
         "An error occurred while trying to check the version.\r\n\r\nError The server closed "
         "the connection without answering."},
    };
    for (const Case& c : cases) {
        const VersionCheckOutcome out =
            interpretVersionCheck(httpGet(requestTo(server, c.path)), c.quiet, library);
        EXPECT_EQ(out.answer, c.answer) << c.path;
        EXPECT_EQ(out.show, c.show) << c.path << " quiet " << c.quiet;
        EXPECT_EQ(out.caption, c.caption) << c.path;
        EXPECT_EQ(out.message, c.message) << c.path;
    }
    EXPECT_EQ(interpretVersionCheck(httpGet(requestTo(server, "/none")), true, library).clientIp,
              "192.0.2.7");
}

TEST(Feedback, CommentsAreEncodedAndAnswersRead) {
    const std::string prefix(kFeedbackPrefix);
    EXPECT_EQ(feedbackPath("a b"), prefix + "a%20b");
    EXPECT_EQ(feedbackPath("   "), prefix + "%20%20%20");
    EXPECT_EQ(feedbackPath("Zz09\r\n\xC3\xA9/?&"), prefix + "Zz09%0D%0A%C3%A9%2F%3F%26");
    // At most kCommentLimit characters, never half of one.
    std::string many;
    for (int i = 0; i < 3000; ++i)
        many += "\xC3\xA9";
    EXPECT_EQ(feedbackPath(many).size(), prefix.size() + kCommentLimit * 6);

    TestServer server = site({{"/Feedback/", Reply{{answer("200 OK", statusPage("Thank you"))}}}});
    HttpRequest r = requestTo(server, feedbackPath("a b"));
    const FeedbackOutcome sent = interpretFeedback(httpGet(r), library);
    EXPECT_TRUE(sent.sent);
    EXPECT_EQ(sent.caption, 11);
    EXPECT_EQ(sent.message, "Thank you");
    EXPECT_EQ(requestPath(server.requests().back()), "/Feedback/?Comment=a%20b");
    r.path = "/elsewhere";
    const FeedbackOutcome failed = interpretFeedback(httpGet(r), library);
    EXPECT_FALSE(failed.sent);
    EXPECT_EQ(failed.caption, 12);
    EXPECT_EQ(failed.message, library(13));
}

TEST(PageText, ElementsSiteHostsAndUserAgents) {
    EXPECT_EQ(pageElement("<span id=\"StatusText\">unclosed", "StatusText"), "");
    EXPECT_EQ(pageElement("<span id=\"StatusText\"", "StatusText"), "");
    EXPECT_EQ(pageElement("<span id=\"Other\">x</span>", "StatusText"), "");
    EXPECT_EQ(pageElement("<span id=\"ClientIP\" >1<br>2<br />3</span>", "ClientIP"),
              "1\r\n2\r\n3");

    struct HostCase {
        const char* text;
        const char* host;
        const char* port;
        const char* header;
    };
    for (const HostCase& c : {HostCase{"kalvitrope.org", "kalvitrope.org", "80", "kalvitrope.org"},
                              HostCase{" 127.0.0.1:8080 ", "127.0.0.1", "8080", "127.0.0.1:8080"},
                              HostCase{"[::1]:81", "::1", "81", "[::1]:81"},
                              HostCase{"site:80", "site", "80", "site"}}) {
        const auto site = parseSiteHost(c.text);
        ASSERT_TRUE(site) << c.text;
        EXPECT_EQ(site->host, c.host);
        EXPECT_EQ(site->port, c.port);
        EXPECT_EQ(site->hostHeader, c.header);
    }
    for (const char* bad : {"", "a b", "host:", "host:0", "host:65536", "host:8x", "[::1",
                            "[zz]:80", "a/b", "evil\r\nX: 1"})
        EXPECT_FALSE(parseSiteHost(bad)) << bad;

    EXPECT_EQ(versionCheckUserAgent("6.1.0-13-amd64"), "Kalvitrope/1.1.2f (Linux 6.1)");
    EXPECT_EQ(versionCheckUserAgent("6.10.2"), "Kalvitrope/1.1.2f (Linux 6.10)");
    EXPECT_EQ(versionCheckUserAgent("unknown"), "Kalvitrope/1.1.2f");
    EXPECT_EQ(acceptLanguage(3), "de");
    EXPECT_EQ(acceptLanguage(kLanguageStringsFile), "en");
}

TEST(OnlineTask, RequestsRunOnTheirOwnThreadAndCanBeAbandoned) {
    TestServer server = site(
        {{"/VersionCheck/", Reply{{answer("200 OK", "ok")}, 5}}, {"/slow", Reply{{}, 0, true}}});
    for (int round = 0; round < 20; ++round) {
        OnlineTask task;
        ASSERT_TRUE(task.start(requestTo(server)));
        EXPECT_FALSE(task.start(requestTo(server))); // one at a time
        std::optional<std::string> got;
        for (int i = 0; i < 400 && !got; ++i) {
            got = task.take();
            if (!got) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, answer("200 OK", "ok"));
        EXPECT_FALSE(task.busy());
        // Abandoned while waiting for the site: the owner goes at once.
        auto slow = std::make_unique<OnlineTask>();
        slow->start(requestTo(server, "/slow"));
        const auto start = std::chrono::steady_clock::now();
        slow.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    }
}
