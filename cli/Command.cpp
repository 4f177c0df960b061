#include "cli/Command.h"

#include "BMTUtil.h"

#include <cstdio>

bool CommandArguments::Has(std::string_view option) const { return Count(option) > 0; }

std::size_t CommandArguments::Count(std::string_view option) const {
  std::size_t n = 0;
  for (const auto& [name, value] : m_options) n += name == option ? 1u : 0u;
  return n;
}

std::optional<std::string> CommandArguments::Value(std::string_view option) const {
  for (auto it = m_options.rbegin(); it != m_options.rend(); ++it) {
    if (it->first == option) return it->second;
  }
  return std::nullopt;
}

Command::Command(std::string name, std::vector<CommandOption> options)
    : m_name(std::move(name)), m_options(std::move(options)) {}

const CommandOption* Command::FindLong(std::string_view name) const {
  for (const CommandOption& option : m_options) {
    if (option.longName == name) return &option;
  }
  return nullptr;
}

const CommandOption* Command::FindShort(char name) const {
  for (const CommandOption& option : m_options) {
    if (option.shortName != 0 && option.shortName == name) return &option;
  }
  return nullptr;
}

int Command::Run(int argc, char** argv) const {
  CommandArguments arguments;
  bool onlyOperands = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // The next argument as a value, whatever it looks like: "-o -out" names
    // a folder "-out".
    auto next = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
      arguments.m_operands.emplace_back(arg);
    } else if (arg == "--") {
      onlyOperands = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(Help().c_str(), stdout);
      return kDone;
    } else if (arg.starts_with("--")) {
      const std::size_t equals = arg.find('=');
      const std::string_view name = arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
      const CommandOption* option = FindLong(name);
      if (!option) return UsageError("unknown option --" + std::string(name));
      std::optional<std::string> value;
      if (option->valueName.empty()) {
        if (equals != std::string_view::npos) return UsageError("--" + std::string(name) + " takes no value");
      } else {
        value = equals != std::string_view::npos ? std::optional(std::string(arg.substr(equals + 1))) : next();
        if (!value || value->empty()) {
          return UsageError("--" + std::string(name) + " needs " + std::string(option->valueName));
        }
      }
      arguments.m_options.emplace_back(name, value.value_or(""));
    } else {
      // One or more short options; the first that takes a value takes the
      // rest of the word, or the next argument.
      for (std::size_t k = 1; k < arg.size(); ++k) {
        const CommandOption* option = FindShort(arg[k]);
        if (!option) return UsageError("unknown option -" + std::string(1, arg[k]));
        if (option->valueName.empty()) {
          arguments.m_options.emplace_back(option->longName, "");
          continue;
        }
        std::optional<std::string> value =
            k + 1 < arg.size() ? std::optional(std::string(arg.substr(k + 1))) : next();
        if (!value || value->empty()) {
          return UsageError("-" + std::string(1, arg[k]) + " needs " + std::string(option->valueName));
        }
        arguments.m_options.emplace_back(option->longName, *value);
        break;
      }
    }
  }
  return Execute(arguments);
}

void Command::Say(std::string_view message) const {
  // It may name files or repeat what was typed: shown escaped.
  std::fprintf(stderr, "quillpress-cli %s: %s\n", m_name.c_str(), BMTUtil::EscapedForDisplay(message).c_str());
}

int Command::UsageError(std::string_view message) const {
  Say(message);
  std::fprintf(stderr, "Try 'quillpress-cli %s --help'.\n", m_name.c_str());
  return kUsage;
}

int Command::Refused(std::string_view reason) const {
  Say(reason);
  return kFailed;
}

bool Command::ReadPreset(const CommandArguments& arguments, std::optional<PdfPreset>& preset) const {
  const auto name = arguments.Value("preset");
  if (!name) return true;
  if (const auto known = PdfPresetFromName(*name)) {
    preset = *known;
    return true;
  }
  UsageError("unknown preset '" + *name + "' (see 'quillpress-cli convert --list-presets')");
  return false;
}

std::string PresetNames() {
  std::string names;
  for (std::size_t i = 0; i < kAllPdfPresets.size(); ++i) {
    if (i > 0) names += i + 1 == kAllPdfPresets.size() ? " or " : ", ";
    names += PdfPresetName(kAllPdfPresets[i]);
  }
  return names;
}

std::string FormatHelp(std::string_view help) {
  std::string text(help);
  if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, PresetNames());
  return text;
}
