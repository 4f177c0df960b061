#include "watch/WatchChoice.h"

#include <system_error>

bool IsSameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}
