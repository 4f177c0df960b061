#pragma once

#include <QString>

#include <filesystem>
#include <string>

// A failed conversion told in words: what was wrong and where, for people,
// and the converter's own message kept for the details.
struct ConversionFailureText {
  QString reason;
  QString details;
};

// Reads source (off the main thread: it may open the file) to find the line
// of the command the interpreter stopped at.
ConversionFailureText DescribeConversionFailure(const std::string& error,
                                                const std::filesystem::path& source);
