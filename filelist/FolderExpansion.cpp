#include "filelist/FolderExpansion.h"

#include "filelist/PostScriptFileTest.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

// parent is shared by every item found under one added folder. Only regular
// files are taken: a pipe or a device would block whoever reads it (the type
// test among them) and never converts.
void Insert(const std::string& file, const std::shared_ptr<const fs::path>& parent,
            const std::function<void(FileListItemRef)>& sink, bool knownRegular = false) {
  if (!knownRegular) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  }
  if (!IsPostScriptFile(file)) return;
  sink(std::make_shared<FileListItem>(file, parent));
}

// Walks the folder on its bytes with readdir, in the file system's order,
// depth first: std::filesystem's iterator takes every path apart into
// components, which costs more than everything else in a large scan.
// Unreadable folders are skipped silently; links are not followed (so a
// link cycle cannot make the scan endless either) and are said.
void WalkFolder(const std::string& folder, const std::shared_ptr<const fs::path>& parent,
                const ExpansionOptions& options,
                const std::function<void(FileListItemRef)>& sink, const std::atomic<bool>* cancel,
                const std::function<void(const fs::path&)>& linkSkipped) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  const std::size_t base = path.size();
  while (const dirent* entry = readdir(dir)) {
    if (Cancelled(cancel)) break;
    const char* name = entry->d_name;
    if (name[0] == '.') continue;  // hidden, and "." and ".."
    path.resize(base);
    path += name;
    bool isDir = entry->d_type == DT_DIR;
    bool isLink = entry->d_type == DT_LNK;
    bool isRegular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      if (lstat(path.c_str(), &st) != 0) continue;
      isDir = S_ISDIR(st.st_mode);
      isLink = S_ISLNK(st.st_mode);
      isRegular = S_ISREG(st.st_mode);
    }
    if (isLink) {
      if (linkSkipped) linkSkipped(path);
      continue;
    }
    if (isDir) {
      if (options.addRecursive) WalkFolder(path, parent, options, sink, cancel, linkSkipped);
      continue;
    }
    if (isRegular) Insert(path, parent, sink, true);
  }
  closedir(dir);
}

}  // namespace

void ExpandUrlsIntoItems(const std::vector<fs::path>& urls, const ExpansionOptions& options,
                         const std::function<void(FileListItemRef)>& sink,
                         const std::atomic<bool>* cancel,
                         const std::function<void(const fs::path&)>& linkSkipped) {
  for (const fs::path& url : urls) {
    if (Cancelled(cancel)) return;
    std::error_code ec;
    if (fs::is_directory(url, ec) && !ec) {
      const auto parent =
          options.maintainDirTree ? std::make_shared<const fs::path>(url) : nullptr;
      WalkFolder(url.native(), parent, options, sink, cancel, linkSkipped);
    } else {
      Insert(url.native(), nullptr, sink);
    }
  }
}

std::vector<FileListItemRef> ExpandUrls(const std::vector<fs::path>& urls,
                                        const ExpansionOptions& options) {
  std::vector<FileListItemRef> items;
  ExpandUrlsIntoItems(urls, options, [&](FileListItemRef item) { items.push_back(std::move(item)); });
  return items;
}
