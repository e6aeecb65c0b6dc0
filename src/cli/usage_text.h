// The help text and the usage errors of a Command, derived from its option table.
//
// Help:                                  A usage error:
//   <about>                                error: <message>
//                                          [blank, "  tip: a similar argument exists: '--x'"]
//   Usage: <program> [OPTIONS] <required>  [blank, "Usage: <program> <required>"]
//                                          blank
//   Options:                               For more information, try '--help'.
//     <rows, help texts in one column>
//
// The usage line of an error is left out for the two value errors (missing value, invalid value).
#pragma once

#include <string_view>

#include "cli/command.h"
#include "cli/parser.h"
#include "cli/styled_text.h"

namespace cli {

StyledText help_text(const Command& command, std::string_view program_name);

StyledText usage_error_text(const Command& command, std::string_view program_name,
                            const UsageError& error);

}  // namespace cli
