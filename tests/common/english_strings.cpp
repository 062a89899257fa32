// Every test of this program sees the built-in English strings, as the program does after start.
#include <gtest/gtest.h>

#include "persistence/language.h"

namespace {

class EnglishStrings : public ::testing::Environment {
  public:
    void SetUp() override { kv::languages().initLanguages({}); }
};

[[maybe_unused]] ::testing::Environment* const kEnglish =
    ::testing::AddGlobalTestEnvironment(new EnglishStrings);

} // namespace
