#include "platform/PromisedFileName.h"

#include <string>

namespace fs = std::filesystem;

fs::path PromisedFileName(const fs::path& source) {
  fs::path name = source.filename();
  // "/a/b/" still names b.
  if (name.empty() && source.has_parent_path() && source.parent_path() != source)
    name = source.parent_path().filename();
  if (name.empty() || name == "." || name == "..") return {};
  std::string promised = name.stem().native();
  promised += ".pdf";
  return fs::path(std::move(promised));
}
