#include "watch/WatchChoice.h"

#include <system_error>

std::optional<SourceDisposal> SourceDisposalForTag(std::int64_t tag) {
  switch (tag) {
    case 1:
      return SourceDisposal::Delete;
    case 2:
      return SourceDisposal::MoveToDestination;
    case 3:
      return SourceDisposal::MoveToFolder;
    default:
      return std::nullopt;
  }
}

bool IsSameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}
