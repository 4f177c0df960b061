// Feeds arbitrary replies and keys to the store reply's value scanner.
// Input: one byte giving the key's length, the key, then the reply, both as
// UTF-8. The reply is also scanned for the two keys the lookup reads.

#include "rating/JSONValueScanner.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

void Check(const QString& key, const QString& json) {
  // A copy with no spare capacity, so that reading past the text is caught.
  const QString exact(json.constData(), json.size());
  const auto value = ValueForKeyInJSON(key, exact);
  if (!value) {
    return;
  }
  const QString quotedKey = u'"' + key + u'"';
  const qsizetype keyAt = exact.indexOf(quotedKey);
  Require(keyAt >= 0, "a value is only found for a quoted key in the text");
  Require(exact.indexOf(u':', keyAt + quotedKey.size()) >= 0, "a value follows a colon");
  // Decoding only shortens the text taken from the reply.
  Require(value->size() <= exact.size(), "a value is never longer than the reply");
  Require(ValueForKeyInJSON(key, exact) == value, "the scanner keeps no state");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t keyLength = data[0] % 32U;
  const std::size_t available = size - 1;
  const std::size_t taken = keyLength < available ? keyLength : available;
  const auto* bytes = reinterpret_cast<const char*>(data + 1);
  const QString key = QString::fromUtf8(bytes, static_cast<qsizetype>(taken));
  const QString json = QString::fromUtf8(bytes + taken, static_cast<qsizetype>(available - taken));
  Check(key, json);
  Check(QStringLiteral("bundleId"), json);
  Check(QStringLiteral("trackId"), json);
  return 0;
}
