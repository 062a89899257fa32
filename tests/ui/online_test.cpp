// The version check and the feedback form against a small web site on 127.0.0.1: what the user
// is shown, that the windows never wait for the site, and the check at start-up.
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "online/test_server.h"
#include "ui/button_box.h"
#include "ui/main_window.h"
#include "ui/online.h"
#include "ui/preferences_about.h"

using namespace kv;
using namespace kv::ui;
using kv::test::answer;
using kv::test::Reply;
using kv::test::requestPath;
using kv::test::TestServer;

namespace {

std::string page(const std::string& status) {
    return answer("200 OK", "<span id=\"ClientIP\">192.0.2.9</span><span id=\"StatusText\">" +
                                status + "</span>");
}

/// A site answering every request with the next of `replies` (the last one repeats).
TestServer siteAnswering(std::vector<std::string> replies) {
    auto next = std::make_shared<std::size_t>(0);
    return TestServer([replies, next](const std::string&) {
        const std::size_t i = std::min(*next, replies.size() - 1);
        ++*next;
        return Reply{{replies[i]}};
    });
}

/// The boxes shown, by caption and text; each is answered with its first button.
struct Boxes {
    std::vector<std::pair<QString, QString>> shown;
    Boxes() {
        setDialogShownHook([this](QDialog& d) {
            auto* box = dynamic_cast<ButtonBoxDialog*>(&d);
            if (!box) return;
            shown.emplace_back(box->windowTitle(),
                               box->field() ? box->field()->toPlainText() : QString());
            box->buttons().front()->click();
        });
    }
    ~Boxes() { setDialogShownHook(nullptr); }
};

} // namespace

TEST(Online, TheAboutBoxChecksForUpdatesOnceAtATime) {
    TestServer site = siteAnswering({page("All is well.[No_Updates_Are_Available]")});
    QWidget owner;
    SettingsStore settings;
    settings.values().onlineSiteHost = site.host();
    OnlineServices online(settings, &owner);
    AboutBox about(&owner, &online);
    QSignalSpy finished(&online, &OnlineServices::versionCheckFinished);
    Boxes boxes;
    QTest::mouseClick(about.checkButton(), Qt::LeftButton);
    EXPECT_FALSE(online.checkVersion(false)); // ignored while the first runs
    ASSERT_TRUE(finished.wait(5000));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].first, "No updates are available");
    EXPECT_TRUE(boxes.shown[0].second.contains("All is well."))
        << boxes.shown[0].second.toStdString();
    EXPECT_EQ(online.clientIp(), "192.0.2.9");
    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requestPath(requests[0]), "/VersionCheck/");
    EXPECT_NE(requests[0].find("\r\nUser-Agent: Kalvitrope/1.1.2f (Linux "), std::string::npos);
    EXPECT_EQ(
        online.updatePageUrl(),
        QString::fromStdString("http://" + site.host() + "/Pages/Kalvitrope_VersionUpdate.html"));
}

TEST(Online, TheFeedbackFormStaysOpenUntilTheSiteHasTheComment) {
    TestServer site = siteAnswering({answer("404 Not Found", ""), page("Thank you!")});
    QWidget owner;
    SettingsStore settings;
    settings.values().onlineSiteHost = site.host();
    OnlineServices online(settings, &owner);
    FeedbackDialog form(&owner, online);
    form.show();
    EXPECT_EQ(form.remainingLabel()->text(), "1024 characters remaining.");
    form.field()->setPlainText(QString(1100, QLatin1Char('x')));
    EXPECT_EQ(form.field()->toPlainText().size(), 1024);
    EXPECT_EQ(form.remainingLabel()->text(), "0 characters remaining.");
    form.field()->setPlainText("a b");
    EXPECT_EQ(form.remainingLabel()->text(), "1021 characters remaining.");

    Boxes boxes;
    form.send();
    EXPECT_FALSE(form.sendButton()->isEnabled()); // while the request runs
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxes.shown.size() == 1; }, 5000));
    EXPECT_EQ(boxes.shown[0].first, "An error occurred");
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.sendButton()->isEnabled());
    EXPECT_FALSE(online.feedbackSent());

    QTest::mouseClick(form.sendButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxes.shown.size() == 2; }, 5000));
    EXPECT_EQ(boxes.shown[1].first, "Server response");
    EXPECT_TRUE(boxes.shown[1].second.contains("Thank you!"));
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(online.feedbackSent());
    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requestPath(requests[1]), "/Feedback/?Comment=a%20b");
    EXPECT_NE(requests[1].find("\r\nUser-Agent: Kalvitrope/1.1.2f\r\n"), std::string::npos);
}

TEST(Online, TheStartUpCheckTellsOnlyOfUpdates) {
    namespace fs = std::filesystem;
    for (const bool updates : {false, true}) {
        TestServer site = siteAnswering({page(updates ? "Version 2 is out.[Updates_Are_Available]"
                                                      : "[No_Updates_Are_Available]")});
        EngineState state;
        SettingsStore settings; // in memory
        Settings& s = settings.values();
        s.programHasRunPreviously = s.programHasClosedPreviously = true;
        s.userHasEscapedPreviously = s.userHasMinimisedPreviously = true;
        s.loadLastAutoSaveOnStartup = false;
        s.checkVersionOnStartup = true;
        s.onlineSiteHost = site.host();
        MainWindowOptions options;
        options.audioApi = "null";
        options.desktopMouse = false;
        Boxes boxes;
        MainWindow window(state, settings, options);
        QSignalSpy finished(&window.online(), &OnlineServices::versionCheckFinished);
        window.show();
        ASSERT_TRUE(finished.wait(5000));
        if (updates) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].first, "Updates are available");
            EXPECT_TRUE(boxes.shown[0].second.contains("Version 2 is out."));
        } else {
            EXPECT_TRUE(boxes.shown.empty());
        }
        window.engine().stopAndWait();
    }
}
