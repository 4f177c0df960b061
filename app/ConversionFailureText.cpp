#include "app/ConversionFailureText.h"

#include "platform/LocalizedString.h"

#include <QRegularExpression>

#include <fstream>
#include <optional>

namespace {

// A line of at most this much of the file is searched for the command.
constexpr std::size_t kLargestSearch = 16 * 1024 * 1024;

bool IsDelimiter(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0' || c == '(' ||
         c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' ||
         c == '/' || c == '%';
}

// The first line where command stands as a token of its own, outside
// comments and strings; 1-based.
std::optional<int> LineOfCommand(const std::filesystem::path& source, const std::string& command,
                                 bool asName) {
  if (command.empty()) return std::nullopt;
  std::ifstream in(source, std::ios::binary);
  if (!in) return std::nullopt;
  std::string line;
  std::size_t read = 0;
  int number = 0;
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

QString WhatWentWrong(const QString& error, const QString& command) {
  struct Known {
    const char* name;
    const char* key;
  };
  static const Known known[] = {
      {"undefined", "FailureUndefined"},
      {"typecheck", "FailureTypeCheck"},
      {"stackunderflow", "FailureStackUnderflow"},
      {"rangecheck", "FailureRangeCheck"},
      {"syntaxerror", "FailureSyntaxError"},
      {"undefinedresult", "FailureUndefinedResult"},
      {"limitcheck", "FailureLimitCheck"},
      {"VMerror", "FailureMemory"},
      {"invalidfont", "FailureInvalidFont"},
      {"nocurrentpoint", "FailureNoCurrentPoint"},
      {"unmatchedmark", "FailureUnmatchedMark"},
      {"invalidaccess", "FailureInvalidAccess"},
      {"ioerror", "FailureIOError"},
      {"undefinedfilename", "FailureUndefinedFileName"},
  };
  for (const Known& entry : known) {
    if (error == QLatin1String(entry.name)) return LocalizedString(entry.key).arg(command);
  }
  return LocalizedString("FailureOther").arg(error, command);
}

}  // namespace

ConversionFailureText DescribeConversionFailure(const std::string& error,
                                                const std::filesystem::path& source) {
  ConversionFailureText text;
  text.details = QString::fromStdString(error);
  // The interpreter's words: "Error: /undefined in this".
  static const QRegularExpression interpreter(
      QStringLiteral("Error: /(\\S+) in (--)?(\\S+?)(--)?(\\s|$)"));
  const QRegularExpressionMatch match = interpreter.match(text.details);
  if (match.hasMatch()) {
    const QString command = match.captured(3);
    QString reason = WhatWentWrong(match.captured(1), command);
    // Where it stands as a command; else where its name is made into one.
    auto line = LineOfCommand(source, command.toStdString(), false);
    if (!line) line = LineOfCommand(source, command.toStdString(), true);
    if (line)
      reason += QLatin1Char(' ') + LocalizedString("FailureAtLine").arg(*line);
    text.reason = reason;
    return text;
  }
  if (error == "stopped") {
    text.reason = LocalizedString("FailureCancelled");
    text.details.clear();
    return text;
  }
  if (error.find("could not be started") != std::string::npos) {
    text.reason = LocalizedString("FailureNoConverter");
  } else if (error.find("crashed") != std::string::npos) {
    text.reason = LocalizedString("FailureCrashed");
  } else if (error.find("wrote no output") != std::string::npos) {
    text.reason = LocalizedString("FailureNoOutput");
  } else if (error.rfind("cannot write", 0) == 0 || error.rfind("cannot put", 0) == 0) {
    text.reason = LocalizedString("FailureCannotWrite");
  } else if (error.empty()) {
    text.reason = LocalizedString("FailureUnknown");
  } else {
    // Already a sentence for people; the first letter up.
    QString sentence = QString::fromStdString(error);
    sentence[0] = sentence[0].toUpper();
    text.reason = sentence;
    text.details.clear();
  }
  return text;
}
