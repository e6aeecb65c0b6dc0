#include "cli/parser.h"

#include "cli/text_rules.h"

namespace cli {

namespace {

constexpr double suggestion_threshold = 0.7;

// A separate argument that starts with a dash, other than a lone dash, is always an option.
bool looks_like_option(std::string_view argument) {
  return argument.size() > 1 && argument.front() == '-';
}

// A lone "--" ends the options; the command takes no argument after it.
constexpr std::string_view end_of_options = "--";

// An option-like argument resolved against the table.
struct OptionOccurrence {
  size_t index;                         // row in the command's option table
  std::optional<std::string> attached;  // value given after '=' in the same argument
};

UsageError unexpected(std::string argument, std::string_view suggestion = {}) {
  return UsageError{UsageErrorKind::unexpected_argument, std::move(argument), {}, {}, {}, suggestion};
}

UsageError invalid_utf8() { return UsageError{UsageErrorKind::invalid_utf8, {}, {}, {}, {}, {}}; }

// A plain argument, or any argument after "--": the command takes none.
UsageError stray_argument(const std::string& argument) {
  if (!is_valid_utf8(argument)) return invalid_utf8();
  return unexpected(argument);
}

UsageError about_option(UsageErrorKind kind, const OptionDefinition& option) {
  return UsageError{kind, {}, {}, option.identifier, {}, {}};
}

std::variant<OptionOccurrence, UsageError> resolve_option(const Command& command,
                                                          const std::string& argument) {
  if (argument.starts_with("--")) {
    if (!is_valid_utf8(argument)) return invalid_utf8();
    const std::string_view body = std::string_view(argument).substr(2);
    const size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    for (size_t i = 0; i < command.options.size(); ++i) {
      const OptionDefinition& option = command.options[i].definition;
      if (option.long_name != name) continue;
      if (equals == std::string_view::npos) return OptionOccurrence{i, std::nullopt};
      if (option.is_help()) {
        UsageError error = about_option(UsageErrorKind::unexpected_value, option);
        error.argument = body.substr(equals + 1);
        return error;
      }
      return OptionOccurrence{i, std::string(body.substr(equals + 1))};
    }
    return unexpected("--" + std::string(name), suggest_similar_option(command, name));
  }
  // A short form names its option by the letter after the dash. The help option ends the parse
  // there, so whatever follows it in the same argument ("-hx") is never read.
  for (size_t i = 0; i < command.options.size(); ++i) {
    const OptionDefinition& option = command.options[i].definition;
    if (option.short_name == '\0' || option.short_name != argument[1]) continue;
    if (argument.size() == 2 || option.is_help()) return OptionOccurrence{i, std::nullopt};
  }
  if (!is_valid_utf8(argument)) return invalid_utf8();
  return unexpected(argument);
}

// An option left without a value is reported when the parse reaches the next defined option,
// or the end; an undefined option, or a stray argument after "--", met first is reported
// instead. `next` is the position after the option.
UsageError missing_value(const Command& command, const std::vector<std::string>& arguments, size_t next,
                         const OptionDefinition& option) {
  if (next < arguments.size()) {
    if (arguments[next] == end_of_options) {
      if (next + 1 < arguments.size()) return stray_argument(arguments[next + 1]);
    } else {
      auto resolved = resolve_option(command, arguments[next]);
      if (auto* error = std::get_if<UsageError>(&resolved)) return std::move(*error);
    }
  }
  return about_option(UsageErrorKind::missing_value, option);
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

  bool options_ended = false;
  for (size_t position = 0; position < arguments.size(); ++position) {
    const std::string& argument = arguments[position];
    if (options_ended || !looks_like_option(argument)) return stray_argument(argument);
    if (argument == end_of_options) {
      options_ended = true;
      continue;
    }
    auto resolved = resolve_option(command, argument);
    if (auto* error = std::get_if<UsageError>(&resolved)) return std::move(*error);
    OptionOccurrence occurrence = std::get<OptionOccurrence>(std::move(resolved));
    const OptionDefinition& option = command.options[occurrence.index].definition;
    if (option.is_help()) return HelpRequest{};

    // The value: attached after '=', else the next argument unless that one is an option. A
    // missing value is reported before a repetition, a repetition before the value's content.
    std::optional<std::string> value = std::move(occurrence.attached);
    const bool separate = !value && position + 1 < arguments.size() && !looks_like_option(arguments[position + 1]);
    if (!value && !separate) return missing_value(command, arguments, position + 1, option);
    if (values[occurrence.index]) return about_option(UsageErrorKind::repeated_option, option);
    if (separate) {
      value = arguments[++position];
      if (!is_valid_utf8(*value)) return invalid_utf8();
    }
    if (auto error = store_value(option, std::move(*value), values[occurrence.index])) return std::move(*error);
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
