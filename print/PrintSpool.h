#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What a print queue's backend and the watch service that converts its
// spool folder share: the queue's device URI, which names the folder, and
// the record the backend leaves there for a job it refused or named other
// than its title says, so that this reaches the journal of whoever owns the
// folder. The backend writes nothing else there but the jobs themselves.

// "quillpress:/path/to/spool", the path percent-encoded beyond letters,
// digits and "/-_.~".
std::string SpoolUri(const std::filesystem::path& spool);
// The folder a device URI names (quillpress:/path, quillpress:///path or
// quillpress://localhost/path), or nothing: another scheme, another host,
// a relative path, a NUL or a ".." step.
std::optional<std::filesystem::path> SpoolOfUri(std::string_view uri);

// Why a job was not handed over; or, Renamed, that it was, under a name its
// title did not give as it was (detail says why).
enum class JobRefusal {
  Renamed,
  Empty,
  NotPostScript,
  Cancelled,    // cancelled while it was read
  NoSpace,      // the spool folder is full; the scheduler tries it again later
  Unreadable,   // reading the job failed
  Unwritable,   // writing or naming it in the spool folder failed
  Unconfirmed,  // the scheduler could not say it still wanted the job; tried again later
};

struct RefusedJob {
  JobRefusal reason = JobRefusal::Unreadable;
  std::string job;    // its number
  std::string title;  // plain text (see PlainJobText)
  std::string user;
  // The opening of a job that is not PostScript, escaped; the system's
  // words for a failed read or write.
  std::string detail;
  std::uint64_t bytes = 0;  // how much had been written when space ran out
  std::string name;         // the name it was handed over under
};

// The records are hidden, so that nothing takes them for a job: written
// under a part name and renamed to kRefusalPrefix + job + "-" + process.
inline constexpr std::string_view kRefusalPrefix = ".quillpress-record-";
inline constexpr std::size_t kLargestRefusalRecord = 4096;

std::string RefusalRecord(const RefusedJob& refused);
// A record read back; it comes from a folder its owner controls, so it is
// bounded and made plain. Nothing unless the text is one whole record.
std::optional<RefusedJob> ParseRefusalRecord(std::string_view text);

// The one sentence that says it, in the job's log and in the journal alike:
// "job 7 ("Minutes" from ann) is empty; nothing was handed over".
std::string DescribeRefusal(const RefusedJob& refused, const std::filesystem::path& spool);
