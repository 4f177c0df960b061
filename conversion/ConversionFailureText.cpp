#include "conversion/ConversionFailureText.h"

#include "BMTUtil.h"

#include <fstream>
#include <optional>
#include <string_view>

namespace {

using Kind = ConversionFailureKind;

// A line of at most this much of the file is searched for the command.
constexpr std::size_t kLargestSearch = 16 * 1024 * 1024;
// What the converter said is shown up to this many bytes.
constexpr std::size_t kLongestDetails = 500;

struct Words {
  const char* key;
  const char* english;
};

std::string Text(const Words& words, FailureTextLookup lookup) {
  if (lookup) {
    std::string translated = lookup(words.key, words.english);
    if (!translated.empty()) return translated;
  }
  return words.english;
}

// "%1", "%2" in text replaced by the arguments, in one pass.
std::string Filled(const std::string& text, std::initializer_list<std::string> arguments) {
  std::string filled;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t n = i + 1 < text.size() ? static_cast<std::size_t>(text[i + 1] - '0') : 0;
    if (text[i] == '%' && n >= 1 && n <= arguments.size()) {
      filled += *(arguments.begin() + (n - 1));
      ++i;
    } else {
      filled += text[i];
    }
  }
  return filled;
}

// The words for each kind; those with a limit fill it in as %1.
struct KindWords {
  Kind kind;
  Words words;
};
constexpr KindWords kKindWords[] = {
    {Kind::None, {"FailureUnknown", "The reason is not known."}},
    {Kind::Unreadable, {"FailureUnreadable", "The file cannot be read."}},
    {Kind::NotRegularFile,
     {"FailureNotRegularFile", "Only regular files can be converted, not folders, pipes or devices."}},
    {Kind::NotPostScript, {"FailureNotPostScript", "The file is not PostScript."}},
    {Kind::SymbolicLink, {"FailureSymbolicLink", "The file is a symbolic link, which is not followed."}},
    {Kind::InterpreterError, {"FailureInterpreter", "The interpreter could not convert the document."}},
    {Kind::CpuLimit,
     {"FailureCpuLimit", "The document took more than %1 seconds of processor time, its limit."}},
    {Kind::MemoryLimit, {"FailureMemoryLimit", "The document needed more than %1 MiB of memory, its limit."}},
    {Kind::OutputLimit, {"FailureOutputLimit", "The document wrote more than %1 MiB, its output limit."}},
    {Kind::FileCountLimit, {"FailureFileCountLimit", "The document made more than %1 files, its limit."}},
    {Kind::TimeLimit, {"FailureTimeLimit", "The document took more than %1 seconds, its limit."}},
    {Kind::Forbidden,
     {"FailureForbidden", "The document tried what the converter does not allow, and was stopped."}},
    {Kind::ConverterMissing,
     {"FailureNoConverter", "The converter program could not be started; it may not be installed."}},
    {Kind::Crashed, {"FailureCrashed", "The converter stopped unexpectedly."}},
    {Kind::ConverterFailed, {"FailureConverterFailed", "The converter reported a failure."}},
    {Kind::NoOutput, {"FailureNoOutput", "The converter produced no PDF."}},
    {Kind::StandardNotMet,
     {"FailureStandardNotMet", "The PDF cannot meet the standard that its setting asks for."}},
    {Kind::DestinationProblem,
     {"FailureCannotWrite", "The PDF could not be written into the destination folder."}},
    {Kind::Cancelled, {"FailureCancelled", "The conversion was stopped."}},
    {Kind::Other, {"FailureOtherReason", "The conversion failed."}},
};
constexpr Words kLimitWithoutNumber = {"FailureLimit", "The document went over a limit of the converter."};
constexpr Words kAtLine = {"FailureAtLine", "It stopped at line %1."};
constexpr Words kConverterSaid = {"ConverterSaidLine", "    The converter said: %1"};

// The interpreter's errors that people can be told about in their terms;
// each fills in the command as %1.
constexpr struct {
  std::string_view name;
  Words words;
} kInterpreterErrors[] = {
    {"undefined", {"FailureUndefined", "The file uses “%1”, a command that PostScript does not know."}},
    {"typecheck", {"FailureTypeCheck", "The command “%1” was given a value of the wrong kind."}},
    {"stackunderflow", {"FailureStackUnderflow", "The command “%1” lacks the values it needs."}},
    {"rangecheck", {"FailureRangeCheck", "The command “%1” was given a value out of its range."}},
    {"syntaxerror",
     {"FailureSyntaxError",
      "The file is not written correctly near “%1” (a bracket or string is left open)."}},
    {"undefinedresult",
     {"FailureUndefinedResult",
      "The command “%1” computed something impossible, such as a division by zero."}},
    {"limitcheck", {"FailureLimitCheck", "The command “%1” went beyond a limit of the interpreter."}},
    {"VMerror", {"FailureMemory", "The interpreter ran out of memory at “%1”."}},
    {"invalidfont", {"FailureInvalidFont", "A font that the file uses is damaged (at “%1”)."}},
    {"nocurrentpoint", {"FailureNoCurrentPoint", "The command “%1” draws without a starting point."}},
    {"unmatchedmark", {"FailureUnmatchedMark", "The command “%1” found no matching opening bracket."}},
    {"invalidaccess", {"FailureInvalidAccess", "The command “%1” tried to change something read-only."}},
    {"ioerror", {"FailureIOError", "The file could not be read at “%1”."}},
    {"undefinedfilename",
     {"FailureUndefinedFileName", "The file asks for another file that does not exist (at “%1”)."}},
};
constexpr Words kOtherInterpreterError = {"FailureOther",
                                          "The interpreter stopped with the error “%1” at “%2”."};

// The error's name and the command from the interpreter's own line
// ("Error: /undefined in shwo", "Error: /typecheck in --add--").
struct InterpreterError {
  std::string name;
  std::string command;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::optional<InterpreterError> ParseInterpreterError(std::string_view line) {
  const std::size_t at = line.find("Error: /");
  if (at == std::string_view::npos) return std::nullopt;
  line.remove_prefix(at + 8);
  InterpreterError error;
  std::size_t i = 0;
  while (i < line.size() && !IsSpace(line[i])) error.name += line[i++];
  constexpr std::string_view kIn = " in ";
  if (error.name.empty() || line.substr(i, kIn.size()) != kIn) return std::nullopt;
  i += kIn.size();
  std::string command;
  while (i < line.size() && !IsSpace(line[i])) command += line[i++];
  // An operator is named between dashes.
  if (command.size() > 4 && command.rfind("--", 0) == 0 && command.ends_with("--")) {
    command = command.substr(2, command.size() - 4);
  }
  if (command.empty()) return std::nullopt;
  error.command = std::move(command);
  return error;
}

bool IsDelimiter(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0' || c == '(' ||
         c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' ||
         c == '/' || c == '%';
}

// The first line where command stands as a token of its own, outside
// comments and strings; 1-based.
std::optional<std::uint64_t> LineOfCommand(const std::filesystem::path& source,
                                           const std::string& command, bool asName) {
  if (command.empty()) return std::nullopt;
  std::ifstream in(source, std::ios::binary);
  if (!in) return std::nullopt;
  std::string line;
  std::size_t read = 0;
  std::uint64_t number = 0;
  int stringDepth = 0;
  while (std::getline(in, line) && read < kLargestSearch) {
    read += line.size() + 1;
    ++number;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (stringDepth > 0) {
        if (c == '\\') ++i;
        else if (c == '(') ++stringDepth;
        else if (c == ')') --stringDepth;
        continue;
      }
      if (c == '%') break;
      if (c == '(') {
        ++stringDepth;
        continue;
      }
      if (line.compare(i, command.size(), command) != 0) continue;
      const bool startsToken = i == 0 || IsDelimiter(line[i - 1]);
      const std::size_t end = i + command.size();
      const bool endsToken = end >= line.size() || IsDelimiter(line[end]);
      const bool isName = i > 0 && line[i - 1] == '/';
      if (startsToken && endsToken && isName == asName) return number;
    }
  }
  return std::nullopt;
}

const Words& WordsFor(Kind kind) {
  for (const KindWords& entry : kKindWords) {
    if (entry.kind == kind) return entry.words;
  }
  return kKindWords[0].words;
}

std::string ReasonForInterpreterError(const ConversionFailure& failure, FailureTextLookup lookup) {
  const std::optional<InterpreterError> error = ParseInterpreterError(failure.detail);
  if (!error) return Text(WordsFor(Kind::InterpreterError), lookup);
  // The command is the file's own text.
  const std::string command = BMTUtil::EscapedForDisplay(error->command, 80);
  std::string reason;
  for (const auto& known : kInterpreterErrors) {
    if (known.name == error->name) reason = Filled(Text(known.words, lookup), {command});
  }
  if (reason.empty()) {
    reason = Filled(Text(kOtherInterpreterError, lookup),
                    {BMTUtil::EscapedForDisplay(error->name, 80), command});
  }
  if (failure.line) reason += " " + Filled(Text(kAtLine, lookup), {std::to_string(*failure.line)});
  return reason;
}

}  // namespace

ConversionFailureText DescribeConversionFailure(const ConversionFailure& failure,
                                                FailureTextLookup lookup) {
  ConversionFailureText text;
  const Words& words = WordsFor(failure.kind);
  switch (failure.kind) {
    case Kind::InterpreterError:
      text.reason = ReasonForInterpreterError(failure, lookup);
      break;
    case Kind::CpuLimit:
    case Kind::MemoryLimit:
    case Kind::OutputLimit:
    case Kind::FileCountLimit:
    case Kind::TimeLimit:
      text.reason = failure.limit ? Filled(Text(words, lookup), {std::to_string(*failure.limit)})
                                  : Text(kLimitWithoutNumber, lookup);
      break;
    default:
      text.reason = Text(words, lookup);
      break;
  }
  // A stop is the user's own: nothing more to say.
  if (failure.kind != Kind::Cancelled) {
    text.details = BMTUtil::EscapedForDisplay(failure.detail, kLongestDetails);
  }
  return text;
}

std::string ConversionFailureSentence(const ConversionFailure& failure, FailureTextLookup lookup) {
  const ConversionFailureText text = DescribeConversionFailure(failure, lookup);
  if (text.details.empty()) return text.reason;
  std::string said = Filled(Text(kConverterSaid, lookup), {text.details});
  const std::size_t start = said.find_first_not_of(' ');
  return text.reason + " " + (start == std::string::npos ? said : said.substr(start));
}

void LocateInterpreterError(ConversionFailure& failure) {
  if (failure.kind != Kind::InterpreterError) return;
  const std::optional<InterpreterError> error = ParseInterpreterError(failure.detail);
  if (!error) return;
  failure.line = LineOfCommand(failure.file, error->command, false);
  if (!failure.line) failure.line = LineOfCommand(failure.file, error->command, true);
}
