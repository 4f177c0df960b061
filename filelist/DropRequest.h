#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

// Files handed to one adding run: opened from the desktop shell or dropped
// on the table.
struct DropRequest {
  std::vector<std::filesystem::path> fileURLs;
  // The list position of the first new item; none appends at the end of the
  // list as it is when the run starts.
  std::optional<std::int64_t> index;
};
