#include "NumberScanners.h"
#include "NumericFieldRules.h"

#include <QTest>

#include <cfloat>
#include <cstdint>
#include <limits>

using namespace NumberScanners;

class NumberScannersTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void cleanText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("percent");
    QTest::addColumn<bool>("int32");
    QTest::addColumn<bool>("int64");
    QTest::addColumn<bool>("real");

    QTest::newRow("digits") << "12" << false << true << true << true;
    QTest::newRow("signs") << "+12" << false << true << true << true;
    QTest::newRow("white space around") << " \t12\n " << false << true << true << true;
    QTest::newRow("lone sign") << "-" << false << false << false << false;
    QTest::newRow("empty") << "" << false << false << false << false;
    QTest::newRow("only space") << "  " << false << false << false << false;
    QTest::newRow("trailing letter") << "12a" << false << false << false << false;
    QTest::newRow("two numbers") << "1 2" << false << false << false << false;
    QTest::newRow("fraction") << "1.5" << false << false << false << true;
    QTest::newRow("bare fraction") << ".5" << false << false << false << true;
    QTest::newRow("trailing point") << "5." << false << false << false << true;
    QTest::newRow("lone point") << "." << false << false << false << false;
    QTest::newRow("exponent") << "1e-3" << false << false << false << true;
    QTest::newRow("exponent without digits") << "1e" << false << false << false << false;
    QTest::newRow("int32 overflow is still a number") << "99999999999" << false << true << true << true;
    QTest::newRow("percent after") << "150%" << true << true << true << true;
    QTest::newRow("percent before") << "%150" << true << true << true << true;
    QTest::newRow("space with percent skipping") << " 150" << true << false << false << false;
    QTest::newRow("percent inside") << "15%0" << true << false << false << false;
    QTest::newRow("percent without skipping") << "150%" << false << false << false << false;
    QTest::newRow("inf is no number") << "inf" << false << false << false << false;
    QTest::newRow("arabic digits are no number") << QStringLiteral("\u0661\u0662") << false << false << false << false;
  }

  void cleanText() {
    QFETCH(QString, text);
    QFETCH(bool, percent);
    QFETCH(bool, int32);
    QFETCH(bool, int64);
    QFETCH(bool, real);
    const Skipped skipped = percent ? Skipped::Percent : Skipped::WhiteSpace;
    QCOMPARE(IsCleanInt32(text, skipped), int32);
    QCOMPARE(IsCleanInt64(text, skipped), int64);
    QCOMPARE(IsCleanFloat(text, skipped), real);
    QCOMPARE(IsCleanDouble(text, skipped), real);
  }

  void leadingIntegers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("int32");
    QTest::addColumn<qlonglong>("int64");

    QTest::newRow("12a") << "12a" << 12 << 12LL;
    QTest::newRow("abc") << "abc" << 0 << 0LL;
    QTest::newRow("empty") << "" << 0 << 0LL;
    QTest::newRow("negative") << "  -42x" << -42 << -42LL;
    QTest::newRow("percent not skipped") << "%150" << 0 << 0LL;
    QTest::newRow("int32 limits") << "2147483647" << 2147483647 << 2147483647LL;
    QTest::newRow("int32 high overflow") << "2147483648" << std::numeric_limits<int>::max() << 2147483648LL;
    QTest::newRow("int32 low limit") << "-2147483648" << std::numeric_limits<int>::min() << -2147483648LL;
    QTest::newRow("int32 low overflow") << "-2147483649" << std::numeric_limits<int>::min() << -2147483649LL;
    QTest::newRow("int64 high limit") << "9223372036854775807" << std::numeric_limits<int>::max()
                                      << std::numeric_limits<qlonglong>::max();
    QTest::newRow("int64 high overflow") << "99999999999999999999999" << std::numeric_limits<int>::max()
                                         << std::numeric_limits<qlonglong>::max();
    QTest::newRow("int64 low limit") << "-9223372036854775808" << std::numeric_limits<int>::min()
                                     << std::numeric_limits<qlonglong>::min();
    QTest::newRow("int64 low overflow") << "-9223372036854775809" << std::numeric_limits<int>::min()
                                        << std::numeric_limits<qlonglong>::min();
    QTest::newRow("leading zeros") << "000000000000000000000000007" << 7 << 7LL;
    QTest::newRow("fraction stops") << "3.9" << 3 << 3LL;
  }

  void leadingIntegers() {
    QFETCH(QString, text);
    QFETCH(int, int32);
    QFETCH(qlonglong, int64);
    QCOMPARE(LeadingInt32(text), int32);
    QCOMPARE(LeadingInt64(text), int64);
  }

  void leadingReals_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");
    QTest::addColumn<float>("floatValue");

    QTest::newRow("fraction") << "2.5x" << 2.5 << 2.5F;
    QTest::newRow("exponent") << "1e3" << 1000.0 << 1000.0F;
    QTest::newRow("unfinished exponent") << "7e+" << 7.0 << 7.0F;
    QTest::newRow("letters") << "abc" << 0.0 << 0.0F;
    QTest::newRow("negative") << " -0.25" << -0.25 << -0.25F;
    QTest::newRow("float overflow clamps") << "1e39" << 1e39 << FLT_MAX;
    QTest::newRow("double overflow clamps") << "1e400" << DBL_MAX << FLT_MAX;
    QTest::newRow("negative overflow clamps") << "-1e400" << -DBL_MAX << -FLT_MAX;
    QTest::newRow("long mantissa overflow") << QString(400, u'9') << DBL_MAX << FLT_MAX;
    QTest::newRow("underflow is zero") << "1e-400" << 0.0 << 0.0F;
    QTest::newRow("fraction underflow is zero") << ("0." + QString(400, u'0') + "1") << 0.0 << 0.0F;
    QTest::newRow("huge exponent") << "1e99999999999999999999" << DBL_MAX << FLT_MAX;
    QTest::newRow("huge negative exponent") << "5e-99999999999999999999" << 0.0 << 0.0F;
  }

  void leadingReals() {
    QFETCH(QString, text);
    QFETCH(double, value);
    QFETCH(float, floatValue);
    QCOMPARE(LeadingDouble(text), value);
    QCOMPARE(LeadingFloat(text), floatValue);
  }

  void writtenValuesReadBack_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("half") << 0.5 << "0.5";
    QTest::newRow("whole") << 12.0 << "12";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("large") << 1e20 << "1e+20";
    QTest::newRow("largest") << DBL_MAX << "1.7976931348623157e+308";
  }

  void writtenValuesReadBack() {
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(WriteDouble(value), text);
    QVERIFY(IsCleanDouble(text));
    QCOMPARE(LeadingDouble(text), value);
    QCOMPARE(WriteFloat(0.2F), QStringLiteral("0.2"));
    QCOMPARE(LeadingFloat(WriteFloat(FLT_MAX)), FLT_MAX);
  }

  // What a field writes is itself left alone by the next look at it.
  void correctionsAreStable() {
    const QStringList texts = {"x", "-", "12x", "-99999999999999999999x", "1e400q", "7000%%", " 150",
                               "0.1x", "-6000x", "abc", "1-5,,", ",", "1e39x", "%"};
    for (int k = 0; k <= static_cast<int>(NumericFieldKind::Scale); ++k) {
      const auto kind = static_cast<NumericFieldKind>(k);
      for (const QString& text : texts) {
        const auto corrected = NumericFieldRules::TextAfterEdit(kind, text);
        if (corrected) {
          QVERIFY2(!NumericFieldRules::TextAfterEdit(kind, *corrected),
                   qPrintable(QString::number(k) + ": " + text + " -> " + *corrected));
        }
        const auto clamped = NumericFieldRules::TextAtEndOfEditing(kind, corrected.value_or(text));
        if (clamped) {
          QVERIFY(!NumericFieldRules::TextAtEndOfEditing(kind, *clamped));
        }
      }
    }
  }

  void pageRangeFilter_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("filtered");
    QTest::newRow("two separators leave none") << ",-/, ,1,-0" << "";
    QTest::newRow("comma comma") << ",," << "";
    QTest::newRow("only the last pair") << "1,,," << "1,,";
    QTest::newRow("inner pair") << "1--2" << "1--2";
    QTest::newRow("leading line break") << "\n 2-3x" << "2-3";
    QTest::newRow("empty") << "" << "";
  }

  void pageRangeFilter() {
    QFETCH(QString, text);
    QFETCH(QString, filtered);
    QCOMPARE(NumericFieldRules::FilterPageRange(text), filtered);
  }
};

QTEST_GUILESS_MAIN(NumberScannersTest)
#include "tst_number_scanners.moc"
