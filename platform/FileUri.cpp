#include "platform/FileUri.h"

#include <unistd.h>

#include <climits>
#include <string>

namespace fs = std::filesystem;

namespace {

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(QByteArrayView text, QByteArrayView prefix) {
  return text.size() >= prefix.size() && text.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

}  // namespace

QByteArray LocalHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return QByteArray(name);
}

std::optional<fs::path> LocalPathFromFileUri(QByteArrayView uri, QByteArrayView localHost) {
  // Some targets end the property with a NUL or a line break.
  while (!uri.isEmpty() && (uri.back() == '\0' || uri.back() == '\n' || uri.back() == '\r')) uri.chop(1);
  if (!StartsWithNoCase(uri, "file:")) return std::nullopt;
  uri = uri.sliced(5);
  if (uri.startsWith("//")) {
    uri = uri.sliced(2);
    const qsizetype slash = uri.indexOf('/');
    if (slash < 0) return std::nullopt;
    const QByteArrayView host = uri.first(slash);
    const bool local = host.isEmpty() || host.compare("localhost", Qt::CaseInsensitive) == 0 ||
                       (!localHost.isEmpty() && host.compare(localHost, Qt::CaseInsensitive) == 0);
    if (!local) return std::nullopt;
    uri = uri.sliced(slash);
  }
  if (!uri.startsWith('/')) return std::nullopt;

  std::string path;
  path.reserve(static_cast<std::size_t>(uri.size()));
  for (qsizetype i = 0; i < uri.size(); ++i) {
    const char ch = uri[i];
    if (ch == '?' || ch == '#' || ch == '\0') return std::nullopt;
    if (ch != '%') {
      path.push_back(ch);
      continue;
    }
    if (i + 2 >= uri.size()) return std::nullopt;
    const int high = HexDigit(uri[i + 1]);
    const int low = HexDigit(uri[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return std::nullopt;
    path.push_back(byte);
    i += 2;
  }
  return fs::path(std::move(path));
}

QList<QByteArray> UriListEntries(const QByteArray& uriList) {
  QList<QByteArray> entries;
  for (const QByteArray& line : uriList.split('\n')) {
    const QByteArray entry = line.trimmed();
    if (entry.isEmpty() || entry.startsWith('#')) continue;
    entries.push_back(entry);
  }
  return entries;
}

std::vector<fs::path> LocalPathsFromUriList(const QByteArray& uriList) {
  std::vector<fs::path> paths;
  const QByteArray host = LocalHostName();
  for (const QByteArray& entry : UriListEntries(uriList)) {
    if (auto path = LocalPathFromFileUri(entry, host)) paths.push_back(std::move(*path));
  }
  return paths;
}
