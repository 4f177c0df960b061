#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// Shared utilities: unique file names in a folder and the platform version
// comparison.
namespace BMTUtil {

// The first free name for the source's name (without its last extension)
// with the given extension in folder: "report.pdf", then "report 1.pdf",
// "report 2.pdf", ... Any existing entry (file, folder, link, even a dangling
// one) counts as taken. Only chooses: nothing is created or reserved.
std::filesystem::path GetUniqueFileURLForSourceURL(const std::filesystem::path& folder,
                                                   const std::filesystem::path& source,
                                                   std::string_view extension);

// The same for an explicit base name. Either shortens the base name, from
// its end, so that the whole name (number and extension included) fits the
// folder's longest name.
std::filesystem::path GetUniqueFileURLWithName(const std::filesystem::path& folder,
                                               const std::filesystem::path& baseName,
                                               std::string_view extension);

// base + suffix, base shortened from its end so that the whole takes at most
// the folder's longest name in bytes (255 where the folder does not say),
// never cutting a UTF-8 character in two.
std::string FitFileName(const std::filesystem::path& folder, std::string_view base,
                        std::string_view suffix);

// The source's last path component without its last extension ("a.b.ps"
// gives "a.b"; ".ps" and "name" stay as they are).
std::filesystem::path BaseNameWithoutExtension(const std::filesystem::path& source);

// A fresh random UUID in its canonical 36-character upper-case form.
std::string NewUuidString();

// The process's temporary folder: TMPDIR when set, otherwise /tmp.
std::filesystem::path TemporaryFolder();

// The application's folder of one kind in the user's home, by the base
// directory rules: $XDG_CONFIG_HOME or ~/.config, $XDG_STATE_HOME or
// ~/.local/state, then "quillpress". A relative value counts as unset.
enum class UserFolder { Config, State };
std::filesystem::path ApplicationFolder(UserFolder kind);

// Text that came from a file or a job (a name, what a converter said), made
// safe to show, in the window, the journal and the print backend's log
// alike: control characters (C0, DEL, C1), line and paragraph separators and
// the marks that reorder text (bidirectional overrides and isolates) are
// written as escapes ("\n", "\x1b", "\u0085", "\u202e"), each byte that is
// not UTF-8 as "\xNN"; text whose escaped form is longer than maxBytes (0: no
// bound) is cut between characters and escapes, at most maxBytes, and ends
// with "…".
std::string EscapedForDisplay(std::string_view text, std::size_t maxBytes = 0);

// The code point of the UTF-8 character that starts at at, or -1 for a byte
// that does not start a valid one; at moves past what was read (one byte
// when it was not valid).
long NextCodePoint(std::string_view text, std::size_t& at);

// The folder of the running executable (empty when unknown).
std::filesystem::path ExecutableFolder();

// The one way to find one of our own installed files, by kind: a program
// (pstopdf, in <prefix>/libexec/quillpress), a loadable module
// (<prefix>/lib/<arch>/quillpress) or data below <prefix>/share (name
// "quillpress/Quillpress User Manual.pdf"). Looked for in one order for
// every kind: below the prefix the running program is installed in (seen
// from <prefix>/bin or <prefix>/libexec/quillpress, so that an install to
// another prefix works; the build tree lays out its data the same way),
// then beside the running program (the build tree keeps programs and
// modules together), then below the configured prefix. Empty when none of
// these has it (a program must be executable, anything else readable).
enum class InstalledFile { Program, Module, Data };
std::filesystem::path FindInstalledFile(InstalledFile kind, std::string_view name);

// Where an installed file of ours belongs below the configured prefix,
// whether or not it is there: for saying what is missing.
std::filesystem::path ConfiguredInstallPath(InstalledFile kind, std::string_view name);

// Opens one of the application's own loadable modules (fileName, for
// example "quillpress-pdfwriter.so") where FindInstalledFile finds it; the
// handle stays open for the life of the process. Null when it cannot be
// loaded.
void* LoadPrivateModule(const char* fileName);

#ifndef QUILLPRESS_PDFWRITER_MODULE
#define QUILLPRESS_PDFWRITER_MODULE "quillpress-pdfwriter.so"
#endif
// The module that holds the PDF library: the writer and the output check.
inline constexpr const char* kPdfWriterModule = QUILLPRESS_PDFWRITER_MODULE;

// Makes every thread allocate from the process's main heap. A background
// thread that fills a large list otherwise grows a heap of its own page by
// page, which costs more than the scan itself. Call once, first thing in main.
void UseOneAllocationArena();

// The processors this process may run on (its affinity), at least one.
std::size_t UsableProcessors();

// A small file of the system's (/proc, /sys, /etc) read whole, by plain
// reads: cheaper than a stream for a file read once. Empty when it cannot be
// read.
std::string ReadSmallFile(const std::filesystem::path& file);

struct SystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

// The version that this platform layer answers. Tests may replace it.
SystemVersion RunningSystemVersion();
void SetRunningSystemVersionForTesting(const SystemVersion* version);

// Negative when the running version is older than major.minor.patch, zero when
// equal, positive when newer.
int CompareSystemVersion(int major, int minor, int patch);

}  // namespace BMTUtil

using BMTUtil::CompareSystemVersion;
using BMTUtil::GetUniqueFileURLForSourceURL;
using BMTUtil::GetUniqueFileURLWithName;
using BMTUtil::FitFileName;
