#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// Claims on the files of a watch folder, so that each file is converted
// once however many watchers share the folder, on this machine or on others
// over a shared file system. A file is claimed by renaming it into this
// watcher's own folder inside the hidden claims folder of the source folder
// (".quillpress-claims/HOST~PID~START/"): a rename is atomic, so of two
// watchers only one can have it. A watcher that ended without putting its
// claims back leaves them to be taken back by the next one that looks.
class FolderClaims {
 public:
  static constexpr const char* kClaimsFolder = ".quillpress-claims";

  // The name this process's claims go under. The machine's name is
  // QUILLPRESS_HOST_NAME when set, else the host name.
  static std::string OwnOwner();

  explicit FolderClaims(std::string owner = OwnOwner());
  const std::string& owner() const { return m_owner; }

  struct Claim {
    std::filesystem::path claimed;  // empty when not taken
    int error = 0;                  // errno; ENOENT: someone else has it
  };
  Claim Take(const std::filesystem::path& source, const std::string& name) const;

  // Puts a claimed file back into the source folder under its name, or the
  // next free numbered name; answers where it went (empty on failure).
  std::filesystem::path PutBack(const std::filesystem::path& source,
                                const std::filesystem::path& claimed) const;

  // Removes this watcher's claim folder, and the claims folder, when empty.
  void Release(const std::filesystem::path& source) const;

  struct Survey {
    std::vector<std::filesystem::path> takenBack;  // files put back, as now named
    bool otherAtWork = false;                      // a live watcher holds claims
  };
  // Looks at the claims of others: those of watchers that ended are put
  // back into the source folder; live ones are only reported. A watcher on
  // another machine counts as ended once its claims are older than any
  // conversion can take.
  Survey Look(const std::filesystem::path& source,
              std::chrono::seconds foreignLifetime = std::chrono::minutes(15)) const;

 private:
  std::filesystem::path OwnFolder(const std::filesystem::path& source) const;

  std::string m_owner;
  std::string m_host;
};
