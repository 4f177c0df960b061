#include "filelist/FolderExpansion.h"

#include "filelist/PostScriptFileTest.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

bool IsHidden(const fs::path& p) {
  const fs::path name = p.filename();
  return !name.empty() && name.native().front() == '.';
}

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

void Insert(const fs::path& file, const std::optional<fs::path>& parent, bool keepTree,
            const std::function<void(FileListItemRef)>& sink) {
  if (!IsPostScriptFile(file)) return;
  auto item = std::make_shared<FileListItem>();
  item->filePath = file;
  if (keepTree && parent) item->parentFolderName = parent;
  sink(std::move(item));
}

void ExpandFolder(const fs::path& folder, const ExpansionOptions& options,
                  const std::function<void(FileListItemRef)>& sink,
                  const std::atomic<bool>* cancel) {
  std::error_code ec;
  // Unreadable folders and entries are skipped silently; folder links are not
  // followed, so a link cycle cannot make the scan endless.
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) return;
  const fs::recursive_directory_iterator end;
  while (it != end && !Cancelled(cancel)) {
    const fs::directory_entry& entry = *it;
    const bool hidden = IsHidden(entry.path());
    std::error_code typeEc;
    const bool isDir = entry.is_directory(typeEc) && !typeEc;
    if (isDir) {
      if (hidden || !options.addRecursive) it.disable_recursion_pending();
    } else if (!hidden) {
      Insert(entry.path(), folder, options.maintainDirTree, sink);
    }
    it.increment(ec);
    if (ec) {
      // Skip what cannot be read and go on with the rest of the tree.
      ec.clear();
      if (it == end) break;
    }
  }
}

}  // namespace

void ExpandUrlsIntoItems(const std::vector<fs::path>& urls, const ExpansionOptions& options,
                         const std::function<void(FileListItemRef)>& sink,
                         const std::atomic<bool>* cancel) {
  for (const fs::path& url : urls) {
    if (Cancelled(cancel)) return;
    std::error_code ec;
    if (fs::is_directory(url, ec) && !ec) {
      ExpandFolder(url, options, sink, cancel);
    } else {
      Insert(url, std::nullopt, false, sink);
    }
  }
}

std::vector<FileListItemRef> ExpandUrls(const std::vector<fs::path>& urls,
                                        const ExpansionOptions& options) {
  std::vector<FileListItemRef> items;
  ExpandUrlsIntoItems(urls, options, [&](FileListItemRef item) { items.push_back(std::move(item)); });
  return items;
}
