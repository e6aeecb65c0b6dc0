#include "cli/command.h"

#include <cstdlib>

namespace cli {

Command build_command(std::string_view name, std::string_view about,
                      const std::vector<OptionDefinition>& table) {
  Command command{name, about, {}};
  command.options.reserve(table.size());
  for (const OptionDefinition& definition : table) {
    CommandOption option{definition, std::nullopt};
    if (!definition.environment_variable.empty()) {
      if (const char* value = std::getenv(std::string(definition.environment_variable).c_str()))
        option.environment_value = std::string(value);
    }
    command.options.push_back(std::move(option));
  }
  return command;
}

}  // namespace cli
