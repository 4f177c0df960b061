#include "platform/Bookmark.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[4] = {'Q', 'P', 'B', 'M'};
constexpr std::uint32_t kVersion = 1;
// magic, version, device, inode, path length, path bytes
constexpr std::size_t kHeaderSize = 4 + 4 + 8 + 8 + 4;
constexpr std::size_t kMaxPath = 64 * 1024;

template <typename T>
void Put(std::vector<char>& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
T Get(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

bool IsFolder(const fs::path& p, std::uint64_t dev, std::uint64_t ino) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
}

// A folder with that identity directly inside parent.
std::optional<fs::path> FindIn(const fs::path& parent, std::uint64_t dev, std::uint64_t ino) {
  std::error_code ec;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsFolder(it->path(), dev, ino)) return it->path();
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<char>> CreateFolderBookmark(const fs::path& folder) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(folder, ec).lexically_normal();
  struct stat st {};
  if (ec || stat(absolute.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  std::string bytes = absolute.native();
  if (bytes.size() > 1 && bytes.back() == '/') bytes.pop_back();
  std::vector<char> data(kMagic, kMagic + 4);
  Put<std::uint32_t>(data, kVersion);
  Put<std::uint64_t>(data, static_cast<std::uint64_t>(st.st_dev));
  Put<std::uint64_t>(data, static_cast<std::uint64_t>(st.st_ino));
  Put<std::uint32_t>(data, static_cast<std::uint32_t>(bytes.size()));
  data.insert(data.end(), bytes.begin(), bytes.end());
  return data;
}

std::optional<fs::path> BookmarkedPath(const std::vector<char>& data) {
  if (data.size() < kHeaderSize || std::memcmp(data.data(), kMagic, 4) != 0) return std::nullopt;
  if (Get<std::uint32_t>(data.data() + 4) != kVersion) return std::nullopt;
  const auto length = Get<std::uint32_t>(data.data() + 24);
  if (length == 0 || length > kMaxPath || data.size() != kHeaderSize + length) return std::nullopt;
  fs::path stored(std::string(data.data() + kHeaderSize, length));
  if (!stored.is_absolute()) return std::nullopt;
  return stored;
}

std::optional<fs::path> ResolveFolderBookmark(const std::vector<char>& data) {
  const std::optional<fs::path> path = BookmarkedPath(data);
  if (!path) return std::nullopt;
  const fs::path& stored = *path;
  const auto dev = Get<std::uint64_t>(data.data() + 8);
  const auto ino = Get<std::uint64_t>(data.data() + 16);

  if (IsFolder(stored, dev, ino)) return stored;
  const fs::path parent = stored.parent_path();
  if (auto renamed = FindIn(parent, dev, ino)) return renamed;
  // Moved into a sibling folder.
  std::error_code ec;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    if (it->is_directory(typeEc) && !it->is_symlink(typeEc)) {
      if (auto moved = FindIn(it->path(), dev, ino)) return moved;
    }
  }
  return std::nullopt;
}
