#include "cli/parser.h"

#include "cli/text_rules.h"

namespace cli {

namespace {

constexpr double suggestion_threshold = 0.7;

// A separate argument that starts with a dash, other than a lone dash, is always an option.
bool looks_like_option(std::string_view argument) {
  return argument.size() > 1 && argument.front() == '-';
}

// An option-like argument resolved against the table.
struct OptionOccurrence {
  size_t index;                         // row in the command's option table
  std::optional<std::string> attached;  // value given after '=' in the same argument
};

UsageError unexpected(std::string argument, std::string_view suggestion = {}) {
  return UsageError{UsageErrorKind::unexpected_argument, std::move(argument), {}, {}, {}, suggestion};
}

UsageError invalid_utf8() { return UsageError{UsageErrorKind::invalid_utf8, {}, {}, {}, {}, {}}; }

UsageError about_option(UsageErrorKind kind, const OptionDefinition& option) {
  return UsageError{kind, {}, {}, option.identifier, {}, {}};
}

std::variant<OptionOccurrence, UsageError> resolve_option(const Command& command,
                                                          const std::string& argument) {
  if (!is_valid_utf8(argument)) return invalid_utf8();
  if (argument.starts_with("--")) {
    const std::string_view body = std::string_view(argument).substr(2);
    const size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    for (size_t i = 0; i < command.options.size(); ++i) {
      const OptionDefinition& option = command.options[i].definition;
      if (option.long_name != name) continue;
      if (equals == std::string_view::npos) return OptionOccurrence{i, std::nullopt};
      // The help option takes no value, so an attached one makes the argument undefined.
      if (option.is_help()) return unexpected(argument);
      return OptionOccurrence{i, std::string(body.substr(equals + 1))};
    }
    return unexpected("--" + std::string(name), suggest_similar_option(command, name));
  }
  if (argument.size() == 2) {
    for (size_t i = 0; i < command.options.size(); ++i) {
      const char short_name = command.options[i].definition.short_name;
      if (short_name != '\0' && short_name == argument[1]) return OptionOccurrence{i, std::nullopt};
    }
  }
  return unexpected(argument);
}

// Applies the option's value rule to a UTF-8 value and stores the result in `slot`.
std::optional<UsageError> store_value(const OptionDefinition& option, std::string value,
                                      std::optional<ParsedArguments::Value>& slot) {
  if (option.value_kind != ValueKind::unsigned_integer) {
    slot.emplace(std::in_place_type<std::string>, std::move(value));
    return std::nullopt;
  }
  auto number = parse_unsigned_decimal(value);
  if (number) {
    slot.emplace(std::in_place_type<uint64_t>, *number);
    return std::nullopt;
  }
  UsageError error = about_option(UsageErrorKind::invalid_value, option);
  error.argument = std::move(value);
  error.reason = number.error();
  return error;
}

}  // namespace

const ParsedArguments::Value* ParsedArguments::find(std::string_view identifier) const {
  for (size_t i = 0; i < command_->options.size(); ++i)
    if (command_->options[i].definition.identifier == identifier && values_[i]) return &*values_[i];
  return nullptr;
}

std::optional<std::string> ParsedArguments::text(std::string_view identifier) const {
  const Value* value = find(identifier);
  if (value == nullptr || !std::holds_alternative<std::string>(*value)) return std::nullopt;
  return std::get<std::string>(*value);
}

std::optional<uint64_t> ParsedArguments::unsigned_integer(std::string_view identifier) const {
  const Value* value = find(identifier);
  if (value == nullptr || !std::holds_alternative<uint64_t>(*value)) return std::nullopt;
  return std::get<uint64_t>(*value);
}

std::string_view suggest_similar_option(const Command& command, std::string_view name) {
  std::string_view best;
  double best_score = suggestion_threshold;
  for (const CommandOption& option : command.options) {
    const double score = jaro_similarity(name, option.definition.long_name);
    if (score > best_score) {
      best_score = score;
      best = option.definition.long_name;
    }
  }
  return best;
}

ParseOutcome parse_arguments(const Command& command, const std::vector<std::string>& arguments) {
  std::vector<std::optional<ParsedArguments::Value>> values(command.options.size());

  for (size_t position = 0; position < arguments.size(); ++position) {
    const std::string& argument = arguments[position];
    if (!looks_like_option(argument)) {
      if (!is_valid_utf8(argument)) return invalid_utf8();
      return unexpected(argument);
    }
    auto resolved = resolve_option(command, argument);
    if (auto* error = std::get_if<UsageError>(&resolved)) return std::move(*error);
    OptionOccurrence occurrence = std::get<OptionOccurrence>(std::move(resolved));
    const OptionDefinition& option = command.options[occurrence.index].definition;

    if (option.is_help()) return HelpRequest{};
    if (values[occurrence.index]) return about_option(UsageErrorKind::repeated_option, option);

    // The value: attached after '=', else the next argument unless that one is an option.
    // An undefined option in that place is reported as itself, not as a missing value.
    std::string value;
    if (occurrence.attached) {
      value = std::move(*occurrence.attached);
    } else if (position + 1 < arguments.size() && !looks_like_option(arguments[position + 1])) {
      value = arguments[++position];
      if (!is_valid_utf8(value)) return invalid_utf8();
    } else {
      if (position + 1 < arguments.size()) {
        auto next = resolve_option(command, arguments[position + 1]);
        if (auto* error = std::get_if<UsageError>(&next)) return std::move(*error);
      }
      return about_option(UsageErrorKind::missing_value, option);
    }

    if (auto error = store_value(option, std::move(value), values[occurrence.index])) return std::move(*error);
  }

  // The fallback counts exactly as if the option had been typed, so it meets the same rules.
  for (size_t i = 0; i < command.options.size(); ++i) {
    const CommandOption& option = command.options[i];
    if (values[i] || !option.environment_value) continue;
    if (!is_valid_utf8(*option.environment_value)) return invalid_utf8();
    if (auto error = store_value(option.definition, *option.environment_value, values[i])) return std::move(*error);
  }

  UsageError missing{UsageErrorKind::missing_required, {}, {}, {}, {}, {}};
  for (size_t i = 0; i < command.options.size(); ++i)
    if (command.options[i].definition.required && !values[i])
      missing.missing.push_back(command.options[i].definition.identifier);
  if (!missing.missing.empty()) return missing;

  return ParsedArguments(command, std::move(values));
}

}  // namespace cli
