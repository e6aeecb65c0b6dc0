// End-to-end tests of the built migrate-shards program: help, usage errors and their layout,
// the environment fallback, colour and the program name. Runs that reach the engine here use
// missing directories, so they fail with a text that shows which directory was used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/child_process.h"
#include "test_support/fixtures.h"

namespace {

using cli_test::Launch;
using cli_test::Outcome;
using cli_test::Stream;

const std::string usage_line = "Usage: migrate-shards --persist-dir <PERSIST_DIR> --shards <SHARDS>\n";
const std::string closing_hint = "\nFor more information, try '--help'.\n";

std::string help_text(const std::string& program_name, const std::string& environment_value) {
  return "Offline K-shard migration for the quorvane-graph durable store "
         "(CONCEPT:QG-KG.sharding.atomic-shard-swap)\n"
         "\n"
         "Usage: " + program_name + " [OPTIONS] --persist-dir <PERSIST_DIR> --shards <SHARDS>\n"
         "\n"
         "Options:\n"
         "      --persist-dir <PERSIST_DIR>  Persist dir holding the existing redb shard files (the source) "
         "[env: GRAPH_SERVICE_PERSIST_DIR=" + environment_value + "]\n"
         "      --shards <SHARDS>            Target shard count K to migrate to (clamped to >= 1)\n"
         "      --dest-dir <DEST_DIR>        Optional destination dir. When set, the new shards are written "
         "there (the source is left untouched). When omitted, the migration runs IN PLACE: new shards are "
         "swapped in and the old files moved to a recoverable backup dir\n"
         "  -h, --help                       Print help\n";
}

Outcome run_program(std::vector<std::string> arguments, std::vector<std::string> environment = {},
                    Stream standard_output = Stream::captured, Stream standard_error = Stream::captured) {
  Launch launch;
  launch.program = MIGRATE_SHARDS_BINARY;
  launch.argv0 = "/usr/local/bin/migrate-shards";
  launch.arguments = std::move(arguments);
  launch.environment = std::move(environment);
  launch.standard_output = standard_output;
  launch.standard_error = standard_error;
  return cli_test::run(launch);
}

// Removes SGR sequences ("ESC [ digits/semicolons m"), after checking that every styled
// stretch is closed by a reset before the next one starts.
std::string without_styles(const std::string& text) {
  std::string plain;
  bool open = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\x1b') {
      plain += text[i];
      continue;
    }
    const size_t end = text.find('m', i);
    EXPECT_NE(end, std::string::npos) << "unterminated escape sequence";
    if (end == std::string::npos) break;
    const std::string sequence = text.substr(i, end + 1 - i);
    EXPECT_EQ(sequence.find_first_not_of("0123456789;", 2), sequence.size() - 1) << "not SGR: " << sequence;
    const bool reset = sequence == "\x1b[0m";
    EXPECT_NE(open, !reset) << "styled stretch not closed by a reset in: " << text;
    open = !reset;
    i = end;
  }
  EXPECT_FALSE(open) << "text ends inside a styled stretch";
  return plain;
}

bool has_escape(const std::string& text) { return text.find('\x1b') != std::string::npos; }

TEST(CommandLine, HelpIsPrintedOnStandardOutputWithStatusZero) {
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string environment_value;
  };
  const std::vector<Case> cases = {
      {{"--help"}, {}, ""},
      {{"-h"}, {}, ""},
      {{"--persist-dir", "/p", "--help"}, {}, ""},            // required --shards missing
      {{"--shards", "2", "-h", "--bogus"}, {}, ""},           // help is met before the bogus option
      {{"-hx"}, {}, ""},                                      // nothing after the h of a short form is read
      {{"--help"}, {"GRAPH_SERVICE_PERSIST_DIR=/data/store"}, "/data/store"},
      {{"--help"}, {"GRAPH_SERVICE_PERSIST_DIR="}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const Outcome outcome = run_program(c.arguments, c.environment);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.standard_output, help_text("migrate-shards", c.environment_value));
    EXPECT_EQ(outcome.standard_error, "");
  }
}

TEST(CommandLine, UsageErrorsHaveTheirTextAndLayout) {
  const std::string tip_shards = "\n  tip: a similar argument exists: '--shards'\n";
  struct Case {
    std::vector<std::string> arguments;
    std::string standard_error;
  };
  const std::vector<Case> cases = {
      {{"--shard", "3", "--persist-dir", "/p"},
       "error: unexpected argument '--shard' found\n" + tip_shards + "\n" + usage_line + closing_hint},
      {{"--shards", "3", "--shard=4"},
       "error: unexpected argument '--shard' found\n" + tip_shards + "\n" + usage_line + closing_hint},
      {{"--persistdir", "/p"},
       "error: unexpected argument '--persistdir' found\n\n  tip: a similar argument exists: '--persist-dir'\n\n" +
           usage_line + closing_hint},
      {{"--version"}, "error: unexpected argument '--version' found\n\n" + usage_line + closing_hint},
      {{"-V"}, "error: unexpected argument '-V' found\n\n" + usage_line + closing_hint},
      {{"-s", "3"}, "error: unexpected argument '-s' found\n\n" + usage_line + closing_hint},
      {{"--shards", "3", "shards"}, "error: unexpected argument 'shards' found\n\n" + usage_line + closing_hint},
      {{"-"}, "error: unexpected argument '-' found\n\n" + usage_line + closing_hint},
      {{"--help=foo"},
       "error: unexpected value 'foo' for '--help' found; no more were expected\n\n" + usage_line + closing_hint},
      {{"--persist-dir", "/p", "--", "--shards", "3"},  // after "--" nothing is an option
       "error: unexpected argument '--shards' found\n\n" + usage_line + closing_hint},
      {{"--persist-dir", "--", "/p"}, "error: unexpected argument '/p' found\n\n" + usage_line + closing_hint},
      {{"--bogus", "--help"}, "error: unexpected argument '--bogus' found\n\n" + usage_line + closing_hint},
      {{"--shards", "-1"}, "error: unexpected argument '-1' found\n\n" + usage_line + closing_hint},
      {{"--persist-dir", "/p", "--shards", "1", "--dest-dir", "/a", "--dest-dir", "/b"},
       "error: the argument '--dest-dir <DEST_DIR>' cannot be used multiple times\n\n" + usage_line + closing_hint},
      {{"--shards", "1", "--shards=2"},
       "error: the argument '--shards <SHARDS>' cannot be used multiple times\n\n" + usage_line + closing_hint},
      {{"--shards", "1", "--shards"},  // the missing value comes before the repetition
       "error: a value is required for '--shards <SHARDS>' but none was supplied\n" + closing_hint},
      {{"--shards", "1", "--shards", "--persist-dir", "/p"},
       "error: a value is required for '--shards <SHARDS>' but none was supplied\n" + closing_hint},
      {{"--persist-dir", "/p", "--shards", "--"},
       "error: a value is required for '--shards <SHARDS>' but none was supplied\n" + closing_hint},
      {{"--persist-dir", "/p", "--shards"},
       "error: a value is required for '--shards <SHARDS>' but none was supplied\n" + closing_hint},
      {{"--persist-dir", "--shards", "3"},
       "error: a value is required for '--persist-dir <PERSIST_DIR>' but none was supplied\n" + closing_hint},
      {{}, "error: the following required arguments were not provided:\n  --persist-dir <PERSIST_DIR>\n"
           "  --shards <SHARDS>\n\n" + usage_line + closing_hint},
      {{"--persist-dir", "/p"},
       "error: the following required arguments were not provided:\n  --shards <SHARDS>\n\n" + usage_line +
           closing_hint},
      {{"--shards", "2", "--dest-dir", "/d"},
       "error: the following required arguments were not provided:\n  --persist-dir <PERSIST_DIR>\n\n" +
           usage_line + closing_hint},
      {{"--shards", "2", "--persist-dir", "/p\xff"},
       "error: invalid UTF-8 was detected in one or more arguments\n\n" + usage_line + closing_hint},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const Outcome outcome = run_program(c.arguments);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.standard_output, "");
    EXPECT_EQ(outcome.standard_error, c.standard_error);
  }
}

TEST(CommandLine, RejectedShardValuesNameTheFirstProblem) {
  struct Case {
    std::string value;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"", "cannot parse integer from empty string"},
      {"+", "invalid digit found in string"},
      {"4k", "invalid digit found in string"},
      {" 5", "invalid digit found in string"},
      {"-1", "invalid digit found in string"},
      {"++1", "invalid digit found in string"},
      {"0x10", "invalid digit found in string"},
      {"1_000", "invalid digit found in string"},
      {"18446744073709551616", "number too large to fit in target type"},
      {"99999999999999999999x", "number too large to fit in target type"},  // overflow comes first
  };
  for (const Case& c : cases) {
    for (const bool attached : {true, false}) {
      // A dash-led value can only be attached; as a separate argument it is an option.
      if (!attached && c.value.starts_with("-")) continue;
      std::vector<std::string> arguments = {"--persist-dir", "/p"};
      if (attached) {
        arguments.push_back("--shards=" + c.value);
      } else {
        arguments.push_back("--shards");
        arguments.push_back(c.value);
      }
      SCOPED_TRACE(::testing::PrintToString(arguments));
      const Outcome outcome = run_program(arguments);
      EXPECT_EQ(outcome.status, 2);
      EXPECT_EQ(outcome.standard_error,
                "error: invalid value '" + c.value + "' for '--shards <SHARDS>': " + c.reason + "\n" + closing_hint);
    }
  }
}

// The engine's text for a persist directory without shard files names the directory it was
// given, so a failing run shows which directory the command line chose.
TEST(CommandLine, EnvironmentFallbackChoosesThePersistDirectory) {
  test_support::ScratchDir scratch;
  const std::string from_option = (scratch.path() / "from-option").string();
  const std::string from_variable = (scratch.path() / "from-variable").string();
  const std::string dest = (scratch.path() / "dest").string();
  const auto not_found = [](const std::string& directory) {
    return "migration FAILED: no redb shard files (graph.redb / graph-<n>.redb) found under " + directory + "\n";
  };
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string used_directory;
  };
  const std::vector<Case> cases = {
      {{"--persist-dir", from_option, "--shards", "2", "--dest-dir", dest},
       {"GRAPH_SERVICE_PERSIST_DIR=" + from_variable}, from_option},
      {{"--shards", "2", "--dest-dir", dest}, {"GRAPH_SERVICE_PERSIST_DIR=" + from_variable}, from_variable},
      {{"--persist-dir=", "--shards", "2", "--dest-dir", dest}, {"GRAPH_SERVICE_PERSIST_DIR=" + from_variable}, ""},
      // A lone "--" after the options ends them; the run goes ahead.
      {{"--persist-dir", from_option, "--shards", "2", "--dest-dir", dest, "--"}, {}, from_option},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const Outcome outcome = run_program(c.arguments, c.environment);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.standard_output, "");
    EXPECT_EQ(outcome.standard_error, not_found(c.used_directory));
  }

  // A set but empty variable is an empty persist directory, not a missing one. Run it in an
  // empty directory so that the relative lookup of graph.redb finds nothing.
  Launch launch;
  launch.program = MIGRATE_SHARDS_BINARY;
  launch.arguments = {"--shards", "2", "--dest-dir", dest};
  launch.environment = {"GRAPH_SERVICE_PERSIST_DIR="};
  launch.working_directory = scratch.str();
  const Outcome empty = cli_test::run(launch);
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.standard_error, not_found(""));

  const Outcome invalid = run_program({"--shards", "2"}, {"GRAPH_SERVICE_PERSIST_DIR=/p\xff"});
  EXPECT_EQ(invalid.status, 2);
  EXPECT_EQ(invalid.standard_error,
            "error: invalid UTF-8 was detected in one or more arguments\n\n" + usage_line + closing_hint);

  const Outcome no_shards = run_program({}, {"GRAPH_SERVICE_PERSIST_DIR=" + from_variable});
  EXPECT_EQ(no_shards.status, 2);
  EXPECT_EQ(no_shards.standard_error,
            "error: the following required arguments were not provided:\n  --shards <SHARDS>\n\n" + usage_line +
                closing_hint);
}

TEST(CommandLine, ColourFollowsTheEnvironmentAndTheTerminal) {
  struct Case {
    std::vector<std::string> environment;
    Stream stream;
    bool coloured;
  };
  const std::vector<Case> cases = {
      {{}, Stream::captured, false},
      {{"TERM=xterm-256color", "CI=true", "CLICOLOR=1"}, Stream::captured, false},
      {{"CLICOLOR_FORCE=1"}, Stream::captured, true},
      {{"CLICOLOR_FORCE=1", "NO_COLOR=1"}, Stream::captured, false},
      {{"CLICOLOR_FORCE=", "TERM=xterm"}, Stream::captured, false},
      {{"TERM=xterm-256color"}, Stream::terminal, true},
      {{"TERM=dumb"}, Stream::terminal, false},
      {{}, Stream::terminal, false},
      {{"CLICOLOR="}, Stream::terminal, true},
      {{"CI=true"}, Stream::terminal, true},
      {{"TERM=xterm", "CLICOLOR=0"}, Stream::terminal, false},
      {{"TERM=xterm", "NO_COLOR=1"}, Stream::terminal, false},
      {{"TERM=xterm", "NO_COLOR="}, Stream::terminal, true},
  };
  const bool terminal = cli_test::terminal_available();
  for (const Case& c : cases) {
    if (c.stream == Stream::terminal && !terminal) continue;
    SCOPED_TRACE(::testing::PrintToString(c.environment) + (c.stream == Stream::terminal ? " terminal" : " pipe"));
    const Outcome help = run_program({"--help"}, c.environment, c.stream, Stream::captured);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(has_escape(help.standard_output), c.coloured);
    EXPECT_EQ(without_styles(help.standard_output), help_text("migrate-shards", ""));

    const Outcome error = run_program({"--shard", "3"}, c.environment, Stream::captured, c.stream);
    EXPECT_EQ(error.status, 2);
    EXPECT_EQ(has_escape(error.standard_error), c.coloured);
    EXPECT_EQ(without_styles(error.standard_error),
              "error: unexpected argument '--shard' found\n\n  tip: a similar argument exists: '--shards'\n\n" +
                  usage_line + closing_hint);
  }
  if (!terminal) GTEST_SKIP() << "no pseudo-terminal here: the terminal cases did not run";
}

TEST(CommandLine, StylesFollowTheRoleOfEachStretch) {
  const std::string bold = "\x1b[1m", reset = "\x1b[0m";
  const Outcome help = run_program({"-h"}, {"CLICOLOR_FORCE=1"});
  EXPECT_NE(help.standard_output.find("\x1b[1;4mUsage:" + reset + " " + bold + "migrate-shards" + reset +
                                      " [OPTIONS] " + bold + "--persist-dir" + reset + " <PERSIST_DIR>"),
            std::string::npos)
      << help.standard_output;
  EXPECT_NE(help.standard_output.find("\x1b[1;4mOptions:" + reset), std::string::npos);
  EXPECT_NE(help.standard_output.find("  " + bold + "-h" + reset + ", " + bold + "--help" + reset), std::string::npos);

  const Outcome error = run_program({"--shard", "3"}, {"CLICOLOR_FORCE=1"});
  EXPECT_TRUE(error.standard_error.starts_with("\x1b[1;31merror:" + reset + " unexpected argument '\x1b[33m--shard" +
                                               reset + "' found"))
      << error.standard_error;
  EXPECT_NE(error.standard_error.find("\x1b[32mtip:" + reset + " a similar argument exists: '\x1b[32m--shards" +
                                      reset + "'"),
            std::string::npos);
  EXPECT_NE(error.standard_error.find("try '" + bold + "--help" + reset + "'."), std::string::npos);

  const Outcome value = run_program({"--shards=4k"}, {"CLICOLOR_FORCE=1"});
  EXPECT_NE(value.standard_error.find("invalid value '\x1b[33m4k" + reset + "'"), std::string::npos)
      << value.standard_error;
  const Outcome attached = run_program({"--help=foo"}, {"CLICOLOR_FORCE=1"});
  EXPECT_NE(attached.standard_error.find("unexpected value '\x1b[33mfoo" + reset + "' for '" + bold + "--help" + reset +
                                         "' found"),
            std::string::npos)
      << attached.standard_error;
}

TEST(CommandLine, UsageLinesShowTheNameTheProgramWasInvokedBy) {
  test_support::ScratchDir scratch;
  const std::filesystem::path link = scratch.path() / "reshard";
  std::filesystem::create_symlink(MIGRATE_SHARDS_BINARY, link);

  struct Case {
    std::string argv0;
    std::string program_name;
  };
  const std::vector<Case> cases = {
      {link.string(), "reshard"},
      {link.string() + "/.//", "reshard"},
      {"", "migrate-shards"},
      {"/", "migrate-shards"},
      {"tools/..", "migrate-shards"},
      {"/opt/\xff\xfe", "migrate-shards"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv0);
    Launch launch;
    launch.program = link.string();
    launch.argv0 = c.argv0;
    launch.arguments = {"--help"};
    const Outcome help = cli_test::run(launch);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.standard_output, help_text(c.program_name, ""));

    launch.arguments = {"--bogus"};
    const Outcome error = cli_test::run(launch);
    EXPECT_EQ(error.status, 2);
    EXPECT_NE(error.standard_error.find("\nUsage: " + c.program_name + " --persist-dir"), std::string::npos)
        << error.standard_error;
  }
}

TEST(CommandLine, HelpAndUsageErrorsThatCannotBeWrittenKeepTheirStatus) {
  for (const Stream stream : {Stream::closed, Stream::full_device, Stream::reader_gone}) {
    EXPECT_EQ(run_program({"--help"}, {}, stream, Stream::captured).status, 0);
    EXPECT_EQ(run_program({"--bogus"}, {}, Stream::captured, stream).status, 2);
  }
}

TEST(CommandLine, AFailureLineThatCannotBeWrittenIsAnInternalFault) {
  test_support::ScratchDir scratch;
  const std::vector<std::string> arguments = {"--persist-dir", (scratch.path() / "none").string(), "--shards", "2",
                                              "--dest-dir", (scratch.path() / "dest").string()};
  EXPECT_EQ(run_program(arguments, {}, Stream::captured, Stream::full_device).status, 101);
  EXPECT_EQ(run_program(arguments, {}, Stream::captured, Stream::reader_gone).status, 101);
  EXPECT_EQ(run_program(arguments, {}, Stream::captured, Stream::closed).status, 1);  // on /dev/null
}

}  // namespace
