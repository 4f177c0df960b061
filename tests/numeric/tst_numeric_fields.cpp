// Every kind of numeric field, typed into and pasted over through the keys as
// a user does, then left with Tab or Return. The table walks each kind's
// rules; the number scanners underneath are reached through the fields
// (pasting a whole text is one edit, typing is one edit per key).

#include "NumericTextFields.h"

#include <QApplication>
#include <QClipboard>
#include <QRegularExpression>
#include <QTest>

namespace {

template <typename Field>
QWidget* Make(QWidget* parent) { return new Field(parent); }

// A field typed into by the script, then left by Tab or Return: the text
// while typing, and after leaving.
struct Row { QWidget* (*make)(QWidget*); QString script, whileTyping, afterLeaving; bool byReturn; };

// Plays a typing script: characters one key at a time; "<home>" moves to the
// start, "<bs>" deletes backwards, "<paste:x>" pastes x over the whole text.
void Play(QWidget* field, const QString& script) {
  static const QRegularExpression step(QStringLiteral("<home>|<bs>|<paste:(.*)>$|."),
                                       QRegularExpression::DotMatchesEverythingOption);
  for (auto it = step.globalMatch(script); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    if (m.captured() == u"<home>" || m.captured() == u"<bs>") {
      QTest::keyClick(field, m.captured() == u"<bs>" ? Qt::Key_Backspace : Qt::Key_Home);
    } else if (m.hasCaptured(1)) {
      QGuiApplication::clipboard()->setText(m.captured(1));
      QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    } else {
      QTest::keyClick(field, m.captured()[0].toLatin1());
    }
  }
}

}  // namespace

Q_DECLARE_METATYPE(Row)

class NumericFieldsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void typingAndLeaving_data() {
    QTest::addColumn<Row>("row");
    auto row = [](const char* name, QWidget* (*make)(QWidget*), const QString& script, const char* typing, const char* leaving,
                  bool byReturn = false) { QTest::newRow(name) << Row{make, script, typing, leaving, byReturn}; };
    const auto pasted = [](const QString& text) { return "<paste:" + text + ">"; };
    const char* const kDoubleMax = "1.7976931348623157e+308";

    row("page count 12x", Make<PageCountNumberField>, "12x", "12", "12");
    row("page count cleared", Make<PageCountNumberField>, "5<bs>", "", "1");
    row("page count -3", Make<PageCountNumberField>, "3<home>-", "-3", "1", true);
    row("page count letters", Make<PageCountNumberField>, "x", "1", "1");
    row("page count fraction", Make<PageCountNumberField>, pasted("3.9"), "3", "3");

    row("whole number minus", Make<WholeNumberField>, "-", "0", "0");
    row("whole number -7", Make<WholeNumberField>, "7<home>-", "-7", "0");
    row("whole number empty", Make<WholeNumberField>, "", "", "");
    row("whole number clean overflow", Make<WholeNumberField>, "99999999999", "99999999999", "99999999999");
    row("whole number overflow clamps", Make<WholeNumberField>, "99999999999x", "2147483647", "2147483647");
    row("whole number low overflow", Make<WholeNumberField>, pasted("-2147483649x"), "0", "0");
    row("whole number space inside", Make<WholeNumberField>, "1 2", "1", "1");
    row("whole number spaces around", Make<WholeNumberField>, pasted(" \t12 "), " \t12 ", " \t12 ");
    row("whole number other digits", Make<WholeNumberField>, pasted(QStringLiteral("\u0661\u0662")), "0", "0");

    row("number -5", Make<NumberField>, "5<home>-", "-5", "0");
    row("number exponent typed", Make<NumberField>, "1e3", "13", "13");
    row("number exponent pasted", Make<NumberField>, pasted("1e-3"), "1e-3", "1e-3");
    row("number unfinished exponent", Make<NumberField>, pasted("7e+"), "7", "7");
    row("number bare fraction", Make<NumberField>, pasted(".5"), ".5", ".5");
    row("number lone point", Make<NumberField>, pasted("."), "0", "0");
    row("number inf", Make<NumberField>, pasted("inf"), "0", "0");
    row("number written shortest", Make<NumberField>, pasted("1e20x"), "1e+20", "1e+20");
    row("number overflow", Make<NumberField>, pasted("1e400q"), kDoubleMax, kDoubleMax);
    row("number negative overflow", Make<NumberField>, pasted("-1e400q"), "0", "0");
    row("number long mantissa", Make<NumberField>, pasted(QString(400, u'9') + "x"), kDoubleMax, kDoubleMax);
    row("number huge exponent", Make<NumberField>, pasted("1e99999999999999999999x"), kDoubleMax, kDoubleMax);
    row("number underflow", Make<NumberField>, pasted("1e-400x"), "0", "0");
    row("number fraction underflow", Make<NumberField>, pasted("0." + QString(400, u'0') + "1x"), "0", "0");
    row("number huge negative exponent", Make<NumberField>, pasted("5e-99999999999999999999x"), "0", "0");

    row("zero count -3", Make<ZeroCountNumberField>, "3<home>-", "-3", "0");
    row("zero count sign", Make<ZeroCountNumberField>, pasted("+12"), "+12", "+12");
    row("zero count leading zeros", Make<ZeroCountNumberField>, pasted("000000000000000000000000007x"), "7", "7");
    row("zero count int64 overflow", Make<ZeroCountNumberField>, pasted("99999999999999999999999x"),
        "9223372036854775807", "9223372036854775807");

    row("start digit -2", Make<StartDigitNumberField>, "2<home>-", "-2", "0");
    row("start digit trailing point", Make<StartDigitNumberField>, pasted("5."), "5.", "5.");
    row("start digit written shortest", Make<StartDigitNumberField>, pasted("0.2x"), "0.2", "0.2");
    row("start digit overflow", Make<StartDigitNumberField>, pasted("1e39x"), "3.4028235e+38", "3.4028235e+38");

    row("file size 0.2", Make<FileSizeNumberField>, "0.2", "0.2", "0", true);
    row("file size 3x", Make<FileSizeNumberField>, "3x", "3", "3");
    row("file size 0.1x", Make<FileSizeNumberField>, "0.1x", "0.5", "0.5");

    row("resolution 0", Make<ResolutionComboBox>, "0", "0", "1", true);
    row("resolution letters", Make<ResolutionComboBox>, "x", "1", "1");

    row("font size 0", Make<FontSizeNumberField>, "0", "0", "1");

    row("rotation -90", Make<RotationAngleNumberField>, "90<home>-", "-90", "0");

    row("blur -3", Make<ShadowBlurNumberField>, "3<home>-", "-3", "0");

    row("x offset minus", Make<ShadowXOffsetNumberField>, "-", "-", "-");
    row("x offset below bound", Make<ShadowXOffsetNumberField>, "-6000", "-6000", "-5000", true);
    row("x offset -70x", Make<ShadowXOffsetNumberField>, "-70x", "-70", "-70");
    row("x offset large", Make<ShadowXOffsetNumberField>, "99999", "99999", "99999");
    row("x offset far below, unclean", Make<ShadowXOffsetNumberField>, "-9000x", "-5000", "-5000");
    row("x offset low overflow", Make<ShadowXOffsetNumberField>, pasted("-9223372036854775809x"), "-5000", "-5000");
    row("y offset below bound", Make<ShadowYOffsetNumberField>, "-9999", "-9999", "-5000");

    row("pdf scale 150%", Make<PDFScaleNumberField>, "150%", "150%", "150%");
    row("pdf scale percent first", Make<PDFScaleNumberField>, pasted("%150"), "150", "150");
    row("pdf scale percent inside", Make<PDFScaleNumberField>, pasted("15%0"), "15", "15");
    row("pdf scale 0%", Make<PDFScaleNumberField>, "0%", "0%", "1");
    row("pdf scale space before", Make<PDFScaleNumberField>, "150<home> ", "150", "150");
    row("pdf scale letters", Make<PDFScaleNumberField>, "x", "1", "1");

    row("char space letters", Make<CharSpaceField>, "abc", "0", "0");
    row("char space -1", Make<CharSpaceField>, "1<home>-", "-1", "0");

    row("scale above bound with percent", Make<ScaleComboBox>, "7000%", "6400%", "6400%");
    row("scale pasted with percent", Make<ScaleComboBox>, pasted("9000%"), "6400", "6400");
    row("scale percent first", Make<ScaleComboBox>, pasted("%9000"), "6400", "6400");
    row("scale letters", Make<ScaleComboBox>, "abc", "1", "1");
    row("scale 0 has no clamp", Make<ScaleComboBox>, "0", "0", "0", true);
    row("scale -5", Make<ScaleComboBox>, "5<home>-", "-5", "-5");
    row("scale 6400", Make<ScaleComboBox>, "6400", "6400", "6400");
    row("scale 6401", Make<ScaleComboBox>, "6401", "6400", "6400");

    row("page range 1-5,8", Make<PageRangeNumberField>, "1-5,8", "1-5,8", "1-5,8");
    row("page range double comma", Make<PageRangeNumberField>, "1-5,,", "1-5,", "1-5,");
    row("page range 1-,", Make<PageRangeNumberField>, "1-,", "1-", "1-");
    row("page range lone comma", Make<PageRangeNumberField>, ",", "", "");
    row("page range a1 pasted", Make<PageRangeNumberField>, pasted("a1"), "", "");
    row("page range inner pair pasted", Make<PageRangeNumberField>, pasted("1--2"), "1--2", "1--2");
    row("page range pasted separators", Make<PageRangeNumberField>, pasted(",-/, ,1,-0"), "", "");
    row("page range pasted with tail", Make<PageRangeNumberField>, pasted("\n 3-4, 7 x"), "3-4,", "3-4,");
  }

  // Along the way: observers never see a text before it was corrected,
  // editingFinished sees it clamped, a combo box keeps its list, and what the
  // field shows is left alone by a second look at it.
  void typingAndLeaving() {
    QFETCH(Row, row);
    const auto& [make, script, whileTyping, afterLeaving, byReturn] = row;

    QWidget window;
    QWidget* field = make(&window);
    auto* neighbour = new QLineEdit(&window);
    auto* combo = qobject_cast<QComboBox*>(field);
    auto* editor = qobject_cast<NumericLineEdit*>(combo ? combo->lineEdit() : field);
    // A list to keep when a text is pasted over it (typed keys would pick from it).
    const bool listed = combo && script.startsWith(QLatin1String("<paste:"));
    if (listed) {
      combo->addItems({QStringLiteral("50%"), QStringLiteral("100%"), QStringLiteral("200%")});
      combo->setCurrentIndex(1);
    }
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    field->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY_WITH_TIMEOUT(field->hasFocus(), 10'000);
    QStringList seen, finished;
    connect(editor, &QLineEdit::textChanged, this, [&](const QString& text) { seen << text; });
    connect(editor, &QLineEdit::textEdited, this, [&](const QString& text) { seen << text; });
    connect(editor, &QLineEdit::editingFinished, this, [&] { finished << editor->text(); });

    Play(field, script);
    QCOMPARE(editor->text(), whileTyping);
    for (const QString& text : seen) QVERIFY(!NumericFieldRules::TextAfterEdit(editor->kind(), text));
    if (!seen.isEmpty()) QCOMPARE(seen.last(), whileTyping);

    QTest::keyClick(field, byReturn ? Qt::Key_Return : Qt::Key_Tab);
    if (!byReturn) QTRY_VERIFY_WITH_TIMEOUT(neighbour->hasFocus(), 10'000);
    QCOMPARE(editor->text(), afterLeaving);
    QVERIFY(!NumericFieldRules::TextAtEndOfEditing(editor->kind(), afterLeaving));
    if (whileTyping != afterLeaving) QCOMPARE(finished, QStringList{afterLeaving});
    if (combo) QCOMPARE(combo->count(), listed ? 3 : 0);
  }
};

QTEST_MAIN(NumericFieldsTest)
#include "tst_numeric_fields.moc"
