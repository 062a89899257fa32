// `kalvitrope-cli mouse-check`: the report a user reads when the instrument does not react.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Result {
    int code = -1;
    std::string out, err;
};

class MouseCheck : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("kv_mc_" + std::to_string(std::random_device{}()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    static std::string slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // Runs mouse-check in a session described by `environment` (env words), without X.
    Result run(const std::string& environment, const std::string& args) const {
        const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE " +
                                environment + " '" + KV_CLI_PATH + "' mouse-check " + args + " >'" +
                                (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "out"),
                slurp(dir / "err")};
    }
};

TEST_F(MouseCheck, ReportsTheSessionTheChoiceAndWhy) {
    const struct {
        const char *environment, *args, *expected;
    } cases[] = {
        {"XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-9", "--seconds 0",
         "backend: none (preference auto): no X display, so no global mouse input\n"},
        {"XDG_SESSION_TYPE=wayland", "--seconds 0 --backend DEVICES",
         "backend: devices (preference devices): the input devices, as the preferences ask"},
        {"XDG_SESSION_TYPE=x11", "--seconds 0 --backend x11",
         "backend: none (preference x11): the preferences ask for X11; no X display"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.environment, c.args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\ndesktop: left "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\npass "), std::string::npos) << "--seconds 0: no passes";
    }
    EXPECT_EQ(run("XDG_SESSION_TYPE=wayland", "--seconds 0").out.rfind("session: wayland ", 0), 0u);
}

TEST_F(MouseCheck, SamplesPassesWithTheSettingsFilesBackend) {
    std::ofstream(dir / "s.KVS") << "\r\nProgramName    \tKalvitrope\r\n"
                                    "Preferences.MouseBackend                 \tdevices\r\n";
    const Result r = run("XDG_SESSION_TYPE=wayland",
                         "--seconds 0.05 --settings '" + (dir / "s.KVS").string() + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("backend: devices (preference devices)"), std::string::npos) << r.out;
    // The first pass sees the cursor at rest at the estimate's start, the desktop's centre.
    EXPECT_NE(r.out.find("\n0 959 539 0 0 0.0 0 ----- 0 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ndevice events: 0\n"), std::string::npos) << r.out;
}

TEST_F(MouseCheck, UsageErrors) {
    for (const char* args :
         {"--seconds -1", "--seconds 5s", "--seconds", "--backend evdev", "--verbose"}) {
        const Result r = run("", args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find("(see: kalvitrope-cli mouse-check --help)"), std::string::npos)
            << args << ": " << r.err;
    }
    const Result help = run("", "--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("usage: kalvitrope-cli mouse-check [--seconds S]", 0), 0u);
}

} // namespace
