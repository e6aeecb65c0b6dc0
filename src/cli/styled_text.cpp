#include "cli/styled_text.h"

#include <unistd.h>

#include <cstdlib>

namespace cli {

namespace {

std::string_view sgr_sequence(Style style) {
  switch (style) {
    case Style::plain: return {};
    case Style::error_label: return "\x1b[1;31m";
    case Style::heading: return "\x1b[1;4m";
    case Style::literal: return "\x1b[1m";
    case Style::tip: return "\x1b[32m";
    case Style::invalid: return "\x1b[33m";
  }
  return {};
}

constexpr std::string_view sgr_reset = "\x1b[0m";

// The variable's value, or null when unset.
const char* variable(const char* name) { return std::getenv(name); }

bool set_and_not_empty(const char* name) {
  const char* value = variable(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

StyledText& StyledText::add(std::string_view text, Style style) {
  if (!text.empty()) stretches_.push_back(Stretch{style, std::string(text)});
  return *this;
}

std::string StyledText::render(bool colour) const {
  std::string out;
  for (const Stretch& stretch : stretches_) {
    const std::string_view sequence = colour ? sgr_sequence(stretch.style) : std::string_view{};
    out += sequence;
    out += stretch.text;
    if (!sequence.empty()) out += sgr_reset;
  }
  return out;
}

bool colour_wanted(int fd) {
  // First match wins; the order is the rule.
  if (set_and_not_empty("NO_COLOR")) return false;
  if (set_and_not_empty("CLICOLOR_FORCE")) return true;
  const char* clicolor = variable("CLICOLOR");
  if (clicolor != nullptr && std::string_view(clicolor) == "0") return false;
  if (isatty(fd) != 1) return false;
  const char* term = variable("TERM");
  if (term != nullptr && std::string_view(term) != "dumb") return true;
  if (clicolor != nullptr) return true;
  if (variable("CI") != nullptr) return true;
  return false;
}

}  // namespace cli
