// The removal's offer to take away the rule that lets the session read mice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "install/removal.h"

namespace kv::install {
namespace {

namespace fs = std::filesystem;

TEST(MiceRuleRemoval, RunsTheAdministratorsCommandOnlyWhenTheRuleIsThere) {
    const fs::path rule =
        fs::temp_directory_path() / ("kv-mice-" + std::to_string(getpid()) + ".rules");
    std::vector<std::vector<std::string>> ran;
    bool consent = true; // whether the administrator agrees in pkexec
    const CommandRunner run = [&](const std::vector<std::string>& argv, std::string*) {
        ran.push_back(argv);
        if (consent) fs::remove(rule);
        return consent ? 0 : 126;
    };
    fs::remove(rule);
    EXPECT_FALSE(miceRuleInstalled(rule.string()));
    EXPECT_TRUE(removeMiceRule(rule.string(), run));
    EXPECT_TRUE(ran.empty()); // nothing to take away: no password asked

    std::ofstream(rule) << "rule\n";
    consent = false;
    EXPECT_FALSE(removeMiceRule(rule.string(), run)); // declined: the rule stays, and says so
    consent = true;
    EXPECT_TRUE(removeMiceRule(rule.string(), run));
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[1][0], "pkexec");
    EXPECT_NE(ran[1][3].find("rm -f '" + rule.string() + "'"), std::string::npos) << ran[1][3];
    EXPECT_EQ(ran[1][3].find("/etc/udev"), std::string::npos) << ran[1][3];
}

} // namespace
} // namespace kv::install
