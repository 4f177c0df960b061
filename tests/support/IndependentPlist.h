#pragma once

// Reads a property list with Python's own reader, so that a file is checked
// without the code that wrote it.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <filesystem>

namespace samples {

// The top-level dictionary, each value as [type, value]: "data" (value in
// base64), "bool", "int", "str" or "other". Empty when it cannot be read.
inline QJsonObject ReadPlistIndependently(const std::filesystem::path& plist) {
  QProcess python;
  python.start(QStringLiteral("python3"),
               {QStringLiteral("-c"),
                QStringLiteral("import plistlib,json,sys,base64\n"
                               "try: d=plistlib.load(open(sys.argv[1],'rb'))\nexcept Exception: d={}\n"
                               "t=lambda v:['data',base64.b64encode(v).decode()] if isinstance(v,bytes) else "
                               "[type(v).__name__,v] if isinstance(v,(bool,int,str)) else ['other',str(v)]\n"
                               "print(json.dumps({k:t(v) for k,v in (d.items() if isinstance(d,dict) else [])}))"),
                QFile::decodeName(plist.c_str())});
  python.waitForFinished(30000);
  return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

// One value's type and value.
inline QString PlistType(const QJsonObject& dict, const QString& key) { return dict[key].toArray()[0].toString(); }
inline qint64 PlistInteger(const QJsonObject& dict, const QString& key) { return dict[key].toArray()[1].toInteger(); }
inline QByteArray PlistData(const QJsonObject& dict, const QString& key) {
  return QByteArray::fromBase64(dict[key].toArray()[1].toString().toLatin1());
}

}  // namespace samples
