#pragma once

#include "conversion/ConversionFailure.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

// One thing the watch service did or saw.
struct WatchEvent {
  enum class Kind {
    Started,       // watching a folder began
    Stopped,       // watching a folder ended
    Converted,     // file converted into result
    Moved,         // file moved to result
    Deleted,       // file deleted after its conversion
    Failed,        // file could not be converted or put away; reason says why
    Changed,       // file changed while it was converted; it is taken again
    FolderGone,    // the folder is gone from its place: waiting for it
    FolderBack,    // the folder is there again (result: where it was found)
    OtherWatcher,  // another watcher is at work on the folder
    TakenBack,     // a file left by a watcher that ended was taken back
    Skipped,       // an entry that is not converted (a symbolic link); reason says why
    Refused,       // a print queue refused a job; nothing of it came (reason says why)
    Renamed,       // a print queue named a job other than its title said (reason says why)
  };
  Kind kind = Kind::Failed;
  std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
  int folder = -1;             // which watch folder, as the service numbers them
  std::filesystem::path file;  // the source file, or the folder
  std::filesystem::path result;
  // Why, for people; for a failed conversion, made from failure.
  std::string reason;
  // For a file that could not be converted: why, as a value.
  ConversionFailure failure = {};  // (initialised: events may leave it out)

  bool isFailure() const { return kind == Kind::Failed || kind == Kind::Refused; }
};

// The word a journal line uses for a kind ("converted", "failed", ...).
const char* WatchEventWord(WatchEvent::Kind kind);

// The event as one line, without the time: "converted: /in/a.ps -> /out/a.pdf";
// a failed conversion names its kind ("failed [interpreter-error]: ...").
// Names and reasons are escaped: one event, one line.
std::string DescribeWatchEvent(const WatchEvent& event);

// The event as a journal line: local time, then the description.
std::string WatchJournalLine(const WatchEvent& event);

// The watch service's journal: one line per event, appended to a file that
// is kept under a size bound by moving it to its predecessors when full
// (".1", the newest, to ".9", the oldest, so that a flood of files keeps its
// last ten files' worth of lines). Safe from any thread; a journal that
// cannot be written loses its lines, never the work.
class WatchJournal {
 public:
  // $XDG_STATE_HOME/quillpress/watch.log (default ~/.local/state/...).
  static std::filesystem::path DefaultPath();
  // How many older files are kept beside the current one.
  static constexpr int kKeptFiles = 9;

  explicit WatchJournal(std::filesystem::path file = DefaultPath(),
                        std::uintmax_t maxBytes = 1024 * 1024);

  const std::filesystem::path& path() const { return m_path; }
  void Append(const WatchEvent& event);

 private:
  const std::filesystem::path m_path;
  const std::uintmax_t m_maxBytes;
  std::mutex m_mutex;
};
