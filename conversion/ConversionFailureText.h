#pragma once

#include "conversion/ConversionFailure.h"

#include <string>

// A failed conversion told in words: what was wrong, for people, and what
// the converter itself said, escaped and bounded, for the details. The one
// place where a ConversionFailure becomes words; the window, the command
// line and the watch journal all read these.
struct ConversionFailureText {
  std::string reason;
  std::string details;
};

// The translation of a string table key whose English text is english;
// empty when there is none (the English is then used). Text in the tables
// takes %1, %2 for what is filled in.
using FailureTextLookup = std::string (*)(const char* key, const char* english);

// Makes no system calls: safe on any thread, the main one too.
ConversionFailureText DescribeConversionFailure(const ConversionFailure& failure,
                                                FailureTextLookup lookup = nullptr);

// The same as one line: the reason, then what the converter said.
std::string ConversionFailureSentence(const ConversionFailure& failure,
                                      FailureTextLookup lookup = nullptr);

// For an interpreter error: the line of failure.file where the command the
// interpreter stopped at stands (or, failing that, where its name is made
// into one), when it can be found. Reads the file: never on the main thread.
void LocateInterpreterError(ConversionFailure& failure);
