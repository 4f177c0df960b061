#pragma once

#include "Common UI Code/BMTUtil.h"

#include <string>
#include <string_view>
#include <vector>

// What a print job is called once it leaves CUPS: the title its PDF carries
// and the name its file gets. Both come from the job's title, which is
// whatever the printing program or a remote client chose, so neither may
// carry anything but plain text: no control characters, no path, a bounded
// length.
struct JobNames {
  // The PDF's title: the job's title with control characters and invalid
  // bytes replaced, white space collapsed and a spool-name prefix
  // ("smbprn.00000012 ") dropped; at most kMaxTitleBytes.
  std::string title;
  // The file's name without extension: the last part of the title when it
  // names a path, without leading dots or a document extension ("report.txt"
  // gives "report"), at most kMaxFileBytes; "Print job N" when nothing is
  // left.
  std::string file;
  // What was changed and why, one sentence each, for the job's log.
  std::vector<std::string> notes;
  // The title could not be kept as it was: it had control characters or
  // invalid bytes, named a path or was too long (a dropped spool name or
  // document extension is usual, not this).
  bool madeSafe = false;
};

inline constexpr std::size_t kMaxTitleBytes = 200;
inline constexpr std::size_t kMaxFileBytes = 100;

JobNames NamesForJob(std::string_view title, std::string_view jobNumber);

// Any other text from a job (its user's name) as plain text: as the title
// is cleaned, at most maxBytes.
std::string PlainJobText(std::string_view text, std::size_t maxBytes);

// Text from a job, fit for one log line: escaped as everywhere else, at
// most maxBytes of it.
inline std::string EscapedForLog(std::string_view text, std::size_t maxBytes = 120) {
  return BMTUtil::EscapedForDisplay(text, maxBytes);
}
