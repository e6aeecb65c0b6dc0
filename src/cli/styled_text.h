// Text made of stretches that each carry a role, rendered with or without ANSI SGR styles,
// and the rule that decides whether a stream gets colour.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class Style {
  plain,        // also placeholders: value names, "[OPTIONS]"
  error_label,  // "error:", bold red
  heading,      // "Usage:", "Options:", bold and underlined
  literal,      // program name and option names, bold
  tip,          // "tip:" and the suggested option, green
  invalid,      // the argument or value that caused an error, yellow
};

class StyledText {
 public:
  StyledText& add(std::string_view text, Style style = Style::plain);
  // The text with each styled stretch wrapped in its SGR sequence and a reset, or bare.
  std::string render(bool colour) const;

 private:
  struct Stretch {
    Style style;
    std::string text;
  };
  std::vector<Stretch> stretches_;
};

// Whether text written to descriptor `fd` is coloured, by the environment at this moment and
// the terminal test: NO_COLOR, CLICOLOR_FORCE, CLICOLOR=0, not a terminal, TERM, CLICOLOR, CI.
bool colour_wanted(int fd);

}  // namespace cli
