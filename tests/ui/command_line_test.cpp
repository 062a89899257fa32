#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "persistence/language.h"

namespace {

kv::app::StartupFlags parse(std::vector<std::string> args) {
    return kv::app::parseCommandLine(args);
}

TEST(CommandLine, HelpInAnySpellingAndCase) {
    for (const char* arg : {"-help", "HELP", "DoHelp", "-dohelp"})
        EXPECT_TRUE(parse({arg}).help) << arg;
    EXPECT_FALSE(parse({"--help"}).help); // one "-" only
    EXPECT_FALSE(parse({"helpme"}).help);
}

TEST(CommandLine, InstallAndRemovalFlags) {
    auto f = parse({"-DoInstall"});
    EXPECT_TRUE(f.install);
    EXPECT_TRUE(f.skipInstallPrompt);
    f = parse({"noinstall"});
    EXPECT_FALSE(f.install);
    EXPECT_TRUE(f.skipInstallPrompt);
    f = parse({"RemoveIt"});
    EXPECT_TRUE(f.removeRequest);
    EXPECT_TRUE(f.skipInstallPrompt);
    f = parse({"-DOREMOVE"});
    EXPECT_TRUE(f.removeNow);
    EXPECT_TRUE(f.skipInstallPrompt);
    f = parse({"AutoStartOnly", "-autostartandhide", "unknown", "-x"});
    EXPECT_TRUE(f.autoStartOnly);
    EXPECT_TRUE(f.autoStartAndHide);
    EXPECT_FALSE(f.skipInstallPrompt);
    EXPECT_FALSE(f.debug);
    EXPECT_TRUE(parse({"-DEBUG"}).debug);
}

TEST(CommandLine, ValuesAreReadButNotConsumed) {
    auto f = parse({"WrapMouse", "0"});
    EXPECT_TRUE(f.wrapMouseGiven);
    EXPECT_FALSE(f.wrapMouse);
    f = parse({"WrapMouse"}); // last argument: on
    EXPECT_TRUE(f.wrapMouse);
    f = parse({"-MakeNoSound", "yes"});
    EXPECT_TRUE(f.makeNoSound);
    // The value is compared with the option names in its turn.
    f = parse({"WrapMouse", "-NoInstall"});
    EXPECT_FALSE(f.wrapMouse);
    EXPECT_TRUE(f.skipInstallPrompt);
    f = parse({"Language", "help"}); // "help" is a language file path here and also the option
    EXPECT_EQ(f.language, kv::kLanguageStringsFile);
    EXPECT_TRUE(f.help);
}

TEST(CommandLine, Language) {
    EXPECT_EQ(parse({"-Language", "de"}).language, 3);
    EXPECT_EQ(parse({"language", "DE"}).language, 3);
    auto f = parse({"Language", "my.txt"});
    EXPECT_EQ(f.language, kv::kLanguageStringsFile);
    EXPECT_EQ(f.languageFile, "my.txt");
    EXPECT_EQ(parse({"Language", "zz"}).language, -1);
    EXPECT_EQ(parse({"Language"}).language, -1);
    EXPECT_EQ(parse({"Language", "ru", "Language", "zz"}).language, 13); // no match keeps it
}

TEST(CommandLine, SettingsFolderNeedsMoreThanTwoCharacters) {
    EXPECT_EQ(parse({"SettingsFolderPath", "/tmp/kv"}).settingsFolder, "/tmp/kv");
    EXPECT_EQ(parse({"-settingsfolderpath", "ab"}).settingsFolder, "");
    EXPECT_EQ(parse({"SettingsFolderPath"}).settingsFolder, "");
}

} // namespace
