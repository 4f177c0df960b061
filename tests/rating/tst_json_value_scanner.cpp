#include "rating/JSONValueScanner.h"

#include <QTest>

class JSONValueScannerTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void values_data();
  void values();
  void unclosedValueWithManyCommasIsReadInOnePass();
};

static const char* const kReply = R"({
 "resultCount":1,
 "results": [
{"trackId":123456789, "bundleId":"org.quillpress.Quillpress", "description":"a, b, c", "price":0.00,
 "trackName":"Quillpress", "sellerUrl":"http:\/\/quillpress.org\/", "version":"1.0"}]
})";

// A null value: the scanner answers nothing.
void JSONValueScannerTest::values_data() {
  QTest::addColumn<QString>("key");
  QTest::addColumn<QString>("json");
  QTest::addColumn<QString>("value");

  QTest::newRow("number") << "trackId" << kReply << "123456789";
  QTest::newRow("string") << "bundleId" << kReply << "org.quillpress.Quillpress";
  QTest::newRow("string with commas") << "description" << kReply << "a, b, c";
  QTest::newRow("escaped slashes") << "sellerUrl" << kReply << "http://quillpress.org/";
  QTest::newRow("first member") << "resultCount" << kReply << "1";
  QTest::newRow("spaces around a number") << "n" << R"({"n":   42   , "m":1})" << "42";
  QTest::newRow("line breaks around a string") << "s" << "{\"s\":\n\t\"x\"\r\n,\"t\":1}" << "x";
  QTest::newRow("first occurrence wins") << "k" << R"({"k":"one","k":"two",})" << "one";
  QTest::newRow("key only matched in quotes") << "id" << R"({"trackId":5,"id":7,})" << "7";
  QTest::newRow("unicode escape") << "v" << R"({"v":"Caf\u00e9",})" << QStringLiteral("Caf\u00e9");
  QTest::newRow("surrogate pair") << "v" << R"({"v":"\ud83d\ude00",})"
                                  << QString::fromUcs4(U"\U0001F600", 1);
  QTest::newRow("upper-case hex") << "v" << R"({"v":"\u00C9",})" << QStringLiteral("\u00c9");
  QTest::newRow("short escapes") << "v" << R"({"v":"a\nb\rc\td\fe\bf\"g\/h\\i",})"
                                 << QStringLiteral("a\nb\rc\td\fe\bf\"g/h\\i");
  QTest::newRow("escaped backslash before n") << "v" << R"({"v":"C:\\new",})" << "C:\\new";
  QTest::newRow("escaped backslash before u") << "v" << R"({"v":"\\u0041",})" << "\\u0041";
  QTest::newRow("decoded escape is not read again") << "v" << R"({"v":"\u005cu0041",})" << "\\u0041";
  QTest::newRow("unknown escape stays") << "v" << R"({"v":"a\qb",})" << "a\\qb";
  QTest::newRow("escaped quote with comma") << "v" << R"({"v":"say \", then", "w":1})"
                                            << "say \", then";
  QTest::newRow("escaped quote at the end") << "v" << R"({"v":"say \"hi\"", "w":1})"
                                            << "say \"hi\"";
  QTest::newRow("value that is one quote and commas") << "v" << R"({"v":",x", "w":1})" << ",x";
  QTest::newRow("all surrounding quotes go") << "v" << R"({"v":""x""", "w":1})" << "x";
  QTest::newRow("empty string") << "v" << R"({"v":"", "w":1})" << QStringLiteral("");
  QTest::newRow("unterminated string ends at the last comma") << "v" << R"({"v":"a, b, "w":1})"
                                                        << "a, b";
  QTest::newRow("hex digits with prefix") << "v" << R"({"v":"\u0x41",})" << "A";
  QTest::newRow("hex reading stops at a non-digit") << "v" << R"({"v":"\u41zz",})" << "A";
  QTest::newRow("empty key") << "" << R"({"":"e",})" << "e";
  QTest::newRow("last member of the last object") << "version" << kReply << QString();
  QTest::newRow("missing key") << "artistId" << kReply << QString();
  QTest::newRow("key without quotes") << "trackId" << "{trackId:1,}" << QString();
  QTest::newRow("no colon") << "k" << R"({"k" 1,})" << QString();
  QTest::newRow("case differs") << "TrackId" << kReply << QString();
  QTest::newRow("empty text") << "k" << "" << QString();
  QTest::newRow("lone key at the end") << "k" << R"("k")" << QString();
  // Short unicode escapes stay within the text.
  QTest::newRow("nothing after \\u") << "v" << R"({"v":"ab\u",})" << "ab\\u";
  QTest::newRow("one character after \\u") << "v" << R"({"v":"ab\u1",})" << "ab\\u1";
  QTest::newRow("three characters after \\u") << "v" << R"({"v":"Caf\u00e",})" << "Caf\\u00e";
  QTest::newRow("escapes after a short one") << "v" << R"({"v":"\u\n",})" << "\\u\n";
  QTest::newRow("full escape before a short one") << "v" << R"({"v":"\u00e9\u00",})"
                                                  << QStringLiteral("\u00e9\\u00");
  QTest::newRow("bare number") << "v" << R"({"v":12\u3,})" << "12\\u3";
}

void JSONValueScannerTest::values() {
  QFETCH(QString, key);
  QFETCH(QString, json);
  QFETCH(QString, value);
  // Nothing may be read past the value: a text that ends right after it,
  // with no slack in its buffer.
  const QString exact(json.constData(), json.size());
  const auto answer = ValueForKeyInJSON(key, exact);
  QCOMPARE(answer.has_value(), !value.isNull());
  if (answer) QCOMPARE(*answer, value);
}

// A hostile reply must not keep the lookup busy: each comma is tried
// without reading the value again from its start.
void JSONValueScannerTest::unclosedValueWithManyCommasIsReadInOnePass() {
  const qsizetype commas = 2'000'000;
  QString json = QStringLiteral("{\"v\":\"x");
  json.reserve(json.size() + commas * 2);
  for (qsizetype i = 0; i < commas; ++i) {
    json += QStringLiteral(" ,");
  }
  json += QStringLiteral("y");
  const auto value = ValueForKeyInJSON(QStringLiteral("v"), json);
  QVERIFY(value.has_value());
  QCOMPARE(value->size(), 1 + (commas - 1) * 2);
  QVERIFY(value->startsWith(QStringLiteral("x ,")));
}

QTEST_GUILESS_MAIN(JSONValueScannerTest)
#include "tst_json_value_scanner.moc"
