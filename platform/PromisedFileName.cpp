#include "platform/PromisedFileName.h"

#include "BMTUtil.h"

#include <string>

namespace fs = std::filesystem;

fs::path PromisedFileName(const fs::path& source) {
  fs::path name = source.filename();
  // "/a/b/" still names b.
  if (name.empty() && source.has_parent_path() && source.parent_path() != source)
    name = source.parent_path().filename();
  if (name.empty() || name == "." || name == "..") return {};
  // The folder it goes to is not known: the longest name most allow.
  return fs::path(BMTUtil::FitFileName({}, name.stem().native(), ".pdf"));
}
