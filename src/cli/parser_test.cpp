// Unit tests of what the program's output cannot show directly: the values the parser hands
// over, the similarity score behind suggestions and the program name rule.
#include <gtest/gtest.h>

#include "cli/args.h"
#include "cli/parser.h"
#include "cli/program_output.h"
#include "cli/text_rules.h"

namespace {

cli::Command command_with_environment(std::optional<std::string> persist_dir_variable) {
  cli::Command command = cli::Args::command();
  command.options[0].environment_value = std::move(persist_dir_variable);
  return command;
}

TEST(Parser, HandsOverTheValuesAsGiven) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> variable;
    std::string persist_dir;
    uint64_t shards;
    std::optional<std::string> dest_dir;
  };
  const std::vector<Case> cases = {
      {{"--persist-dir", "/p", "--shards", "0"}, std::nullopt, "/p", 0, std::nullopt},
      {{"--persist-dir=/p", "--shards=+0"}, std::nullopt, "/p", 0, std::nullopt},
      {{"--shards", "007", "--persist-dir", "-"}, std::nullopt, "-", 7, std::nullopt},
      {{"--shards", "18446744073709551615", "--persist-dir", "/p"}, std::nullopt, "/p", UINT64_MAX, std::nullopt},
      {{"--persist-dir=--odd", "--shards", "3", "--dest-dir="}, std::nullopt, "--odd", 3, ""},
      {{"--persist-dir", "/option", "--shards", "1"}, "/variable", "/option", 1, std::nullopt},
      {{"--shards", "1", "--dest-dir", "/d=x"}, "/variable", "/variable", 1, "/d=x"},
      {{"--shards", "1"}, "", "", 1, std::nullopt},
      {{"--shards", "1", "--dest-dir", "/d", "--"}, "/variable", "/variable", 1, "/d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const cli::Command command = command_with_environment(c.variable);
    const cli::ParseOutcome outcome = cli::parse_arguments(command, c.arguments);
    ASSERT_TRUE(std::holds_alternative<cli::ParsedArguments>(outcome));
    const auto& parsed = std::get<cli::ParsedArguments>(outcome);
    EXPECT_EQ(parsed.text("persist_dir"), c.persist_dir);
    EXPECT_EQ(parsed.unsigned_integer("shards"), c.shards);
    EXPECT_EQ(parsed.text("dest_dir"), c.dest_dir);
  }
}

TEST(Parser, SuggestsTheMostSimilarLongNameAboveTheThreshold) {
  const cli::Command command = cli::Args::command();
  EXPECT_EQ(cli::suggest_similar_option(command, "shard"), "shards");
  EXPECT_EQ(cli::suggest_similar_option(command, "persistdir"), "persist-dir");
  EXPECT_EQ(cli::suggest_similar_option(command, "dest_dir"), "dest-dir");
  EXPECT_EQ(cli::suggest_similar_option(command, "hepl"), "help");
  EXPECT_EQ(cli::suggest_similar_option(command, "version"), "");
  EXPECT_EQ(cli::suggest_similar_option(command, ""), "");
}

TEST(TextRules, JaroSimilarity) {
  EXPECT_NEAR(cli::jaro_similarity("MARTHA", "MARHTA"), 0.944444, 1e-6);
  EXPECT_NEAR(cli::jaro_similarity("DIXON", "DICKSONX"), 0.766667, 1e-6);
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("abc", "bca"), 0.0);  // matches only within the window
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("", ""), 1.0);
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("a", ""), 0.0);
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("abc", "xyz"), 0.0);
  // Characters, not bytes: "é" against "e" has no match, "é" against itself is identical.
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("\xc3\xa9", "\xc3\xa9"), 1.0);
  EXPECT_DOUBLE_EQ(cli::jaro_similarity("\xc3\xa9t\xc3\xa9", "et"), (1.0 / 3 + 1.0 / 2 + 1.0) / 3);
}

TEST(TextRules, Utf8Validation) {
  EXPECT_TRUE(cli::is_valid_utf8(""));
  EXPECT_TRUE(cli::is_valid_utf8("plain /dir"));
  EXPECT_TRUE(cli::is_valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x9a\x80"));
  for (const char* invalid : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"})
    EXPECT_FALSE(cli::is_valid_utf8(invalid)) << ::testing::PrintToString(std::string(invalid));
}

TEST(ProgramName, IsTheLastPlainComponentOfTheInvocationPath) {
  struct Case {
    std::string path;
    std::optional<std::string> name;
  };
  const std::vector<Case> cases = {
      {"migrate-shards", "migrate-shards"},
      {"/usr/local/bin/reshard", "reshard"},
      {"./reshard", "reshard"},
      {"bin/reshard/", "reshard"},
      {"bin/reshard/.", "reshard"},
      {"bin//reshard/./", "reshard"},
      {"", std::nullopt},
      {".", std::nullopt},
      {"/", std::nullopt},
      {"bin/..", std::nullopt},
      {"..", std::nullopt},
      {"bin/\xff", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(cli::program_name_from_path(c.path), c.name) << c.path;
}

}  // namespace
