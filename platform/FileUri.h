#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <filesystem>
#include <optional>
#include <vector>

// The local path a file URI names, byte for byte: "file:///p", "file:/p", or
// "file://host/p" where host is empty, "localhost" or localHost (compared
// without case). Empty for any other scheme or host, a query or fragment, a
// malformed escape, an escaped NUL, or a path that is not absolute.
std::optional<std::filesystem::path> LocalPathFromFileUri(QByteArrayView uri, QByteArrayView localHost);

// This machine's host name as the X Direct Save target writes it.
QByteArray LocalHostName();

// The entries of a text/uri-list, in order, without comment and empty lines.
QList<QByteArray> UriListEntries(const QByteArray& uriList);

// The local files a text/uri-list names, byte-exact and in its order; entries
// that are not local file URIs are skipped.
std::vector<std::filesystem::path> LocalPathsFromUriList(const QByteArray& uriList);
