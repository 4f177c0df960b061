#include "platform/Bookmark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[4] = {'Q', 'P', 'B', 'M'};
// 1: magic, version, device, inode, path length, path bytes.
// 2: magic, version, device, inode, birth seconds, birth nanoseconds (or
//    kNoBirth), path length, path bytes.
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeaderSizeV1 = 4 + 4 + 8 + 8 + 4;
constexpr std::size_t kHeaderSize = 4 + 4 + 8 + 8 + 8 + 4 + 4;
constexpr std::uint32_t kNoBirth = 0xffffffff;
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

// What tells one folder from another: inode numbers are given again as soon
// as a folder is removed, so a folder found by its number alone may be any
// folder made since. Its birth time tells them apart, where the file system
// keeps one.
struct FolderIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t bornSeconds = 0;
  std::uint32_t bornNanoseconds = kNoBirth;

  bool hasBirth() const { return bornNanoseconds != kNoBirth; }
};

std::optional<FolderIdentity> IdentityOf(const fs::path& p) {
  struct statx st {};
  if (statx(AT_FDCWD, p.c_str(), 0, STATX_TYPE | STATX_INO | STATX_BTIME, &st) != 0 ||
      !(st.stx_mask & STATX_TYPE) || !S_ISDIR(st.stx_mode)) {
    return std::nullopt;
  }
  FolderIdentity id;
  id.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  id.inode = st.stx_ino;
  if (st.stx_mask & STATX_BTIME) {
    id.bornSeconds = st.stx_btime.tv_sec;
    id.bornNanoseconds = st.stx_btime.tv_nsec;
  }
  return id;
}

bool IsFolder(const fs::path& p, const FolderIdentity& wanted) {
  const auto id = IdentityOf(p);
  return id && id->device == wanted.device && id->inode == wanted.inode;
}

// The same folder, not one that took its inode number later.
bool IsSameFolder(const fs::path& p, const FolderIdentity& wanted) {
  const auto id = IdentityOf(p);
  return id && wanted.hasBirth() && id->device == wanted.device && id->inode == wanted.inode &&
         id->bornSeconds == wanted.bornSeconds && id->bornNanoseconds == wanted.bornNanoseconds;
}

// A folder with that identity directly inside parent.
std::optional<fs::path> FindIn(const fs::path& parent, const FolderIdentity& wanted) {
  std::error_code ec;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsSameFolder(it->path(), wanted)) return it->path();
  }
  return std::nullopt;
}

// The header's size for the record's version; 0 for a record that is none.
std::size_t HeaderSizeOf(const std::vector<char>& data) {
  if (data.size() < kHeaderSizeV1 || std::memcmp(data.data(), kMagic, 4) != 0) return 0;
  const auto version = Get<std::uint32_t>(data.data() + 4);
  if (version == 1) return kHeaderSizeV1;
  if (version == 2 && data.size() >= kHeaderSize) return kHeaderSize;
  return 0;
}

}  // namespace

std::optional<std::vector<char>> CreateFolderBookmark(const fs::path& folder) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(folder, ec).lexically_normal();
  if (ec) return std::nullopt;
  const auto id = IdentityOf(absolute);
  if (!id) return std::nullopt;
  std::string bytes = absolute.native();
  if (bytes.size() > 1 && bytes.back() == '/') bytes.pop_back();
  std::vector<char> data(kMagic, kMagic + 4);
  Put<std::uint32_t>(data, kVersion);
  Put<std::uint64_t>(data, id->device);
  Put<std::uint64_t>(data, id->inode);
  Put<std::int64_t>(data, id->bornSeconds);
  Put<std::uint32_t>(data, id->bornNanoseconds);
  Put<std::uint32_t>(data, static_cast<std::uint32_t>(bytes.size()));
  data.insert(data.end(), bytes.begin(), bytes.end());
  return data;
}

std::optional<fs::path> BookmarkedPath(const std::vector<char>& data) {
  const std::size_t header = HeaderSizeOf(data);
  if (header == 0) return std::nullopt;
  const auto length = Get<std::uint32_t>(data.data() + header - 4);
  if (length == 0 || length > kMaxPath || data.size() != header + length) return std::nullopt;
  fs::path stored(std::string(data.data() + header, length));
  if (!stored.is_absolute()) return std::nullopt;
  return stored;
}

std::optional<fs::path> ResolveFolderBookmark(const std::vector<char>& data) {
  const std::optional<fs::path> path = BookmarkedPath(data);
  if (!path) return std::nullopt;
  const fs::path& stored = *path;
  FolderIdentity wanted;
  wanted.device = Get<std::uint64_t>(data.data() + 8);
  wanted.inode = Get<std::uint64_t>(data.data() + 16);
  if (HeaderSizeOf(data) == kHeaderSize) {
    wanted.bornSeconds = Get<std::int64_t>(data.data() + 24);
    wanted.bornNanoseconds = Get<std::uint32_t>(data.data() + 32);
  }

  if (IsFolder(stored, wanted)) return stored;
  // Looked for elsewhere only when it can be told from a folder made since
  // (a record of version 1, or a file system without birth times, cannot).
  if (!wanted.hasBirth()) return std::nullopt;
  const fs::path parent = stored.parent_path();
  if (auto renamed = FindIn(parent, wanted)) return renamed;
  // Moved into a sibling folder.
  std::error_code ec;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    if (it->is_directory(typeEc) && !it->is_symlink(typeEc)) {
      if (auto moved = FindIn(it->path(), wanted)) return moved;
    }
  }
  return std::nullopt;
}
