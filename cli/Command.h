#pragma once

#include "conversion/PdfPreset.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One option of a command: "-o, --output DEST" is {'o', "output", "DEST"}.
struct CommandOption {
  char shortName = 0;           // 0: none
  std::string_view longName;    // without the dashes
  std::string_view valueName;   // empty for a switch
};

// A command's arguments once parsed: the options given, by long name, and
// the operands, each in the order given.
class CommandArguments {
 public:
  bool Has(std::string_view option) const;
  std::size_t Count(std::string_view option) const;
  // The value of the option given last under that name.
  std::optional<std::string> Value(std::string_view option) const;
  const std::vector<std::string>& operands() const { return m_operands; }

 private:
  friend class Command;
  std::vector<std::pair<std::string, std::string>> m_options;
  std::vector<std::string> m_operands;
};

// A command of quillpress-cli ("convert", "watch", ...). Run parses the
// arguments one way for every command: -x VALUE or -xVALUE, --long VALUE or
// --long=VALUE, switches bundled as -rk, "--" before operands that start
// with a dash, and -h or --help for the command's help. A usage error is
// said in one style and ends with status 2; Execute gets only arguments that
// parsed.
class Command {
 public:
  static constexpr int kDone = 0;
  static constexpr int kFailed = 1;
  static constexpr int kUsage = 2;

  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  const std::string& name() const { return m_name; }

  // argv holds the arguments after the command's name. Answers the exit
  // status.
  int Run(int argc, char** argv) const;

 protected:
  // name as the user types it after quillpress-cli ("folders").
  Command(std::string name, std::vector<CommandOption> options);

  virtual std::string Help() const = 0;
  virtual int Execute(const CommandArguments& arguments) const = 0;

  // "quillpress-cli NAME: message" and the hint to the help; answers kUsage.
  int UsageError(std::string_view message) const;
  // "quillpress-cli NAME: message" on the error stream.
  void Say(std::string_view message) const;
  // Says why the command cannot do what was asked; answers kFailed.
  int Refused(std::string_view reason) const;
  // Sets preset when --preset is given; false (the usage error said) when
  // it names no preset.
  bool ReadPreset(const CommandArguments& arguments, std::optional<PdfPreset>& preset) const;

 private:
  const CommandOption* FindLong(std::string_view name) const;
  const CommandOption* FindShort(char name) const;

  std::string m_name;
  std::vector<CommandOption> m_options;
};

// The presets' names for a help text: "faithful, smallest, ... or pdfa-2b".
std::string PresetNames();
// A help text with its one %s replaced by the presets' names.
std::string FormatHelp(std::string_view help);

// The commands of quillpress-cli. Those that need Qt's event loop (watch,
// folders) live in a module that the program loads only when one of them
// runs, so that a conversion does not pay for loading Qt.
std::unique_ptr<Command> MakeConvertCommand();
std::unique_ptr<Command> MakeWatchCommand();
std::unique_ptr<Command> MakeFoldersCommand();
std::unique_ptr<Command> MakePrinterCommand();
