#include "NumericTextFields.h"

#include <QApplication>
#include <QClipboard>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

namespace {

using FieldMaker = QWidget* (*)();
template <typename Field>
QWidget* Make() {
  return new Field;
}

QLineEdit* EditorOf(QWidget* field) {
  auto* combo = qobject_cast<QComboBox*>(field);
  return combo ? combo->lineEdit() : qobject_cast<QLineEdit*>(field);
}

// A window with the field and a neighbour to move the focus to.
struct Window {
  explicit Window(QWidget* shownField) : field(shownField) {
    auto* layout = new QVBoxLayout(&widget);
    layout->addWidget(field);
    layout->addWidget(neighbour);
    widget.show();
    widget.activateWindow();
  }
  QWidget widget;
  QWidget* field;
  QLineEdit* neighbour = new QLineEdit;
};

// Plays a typing script on the field: characters are typed one key at a
// time; "<home>" moves to the start, "<bs>" deletes backwards, "<paste:x>"
// pastes x over the whole text.
bool Play(QWidget* field, const QString& script) {
  qsizetype i = 0;
  while (i < script.size()) {
    if (script.mid(i).startsWith(QLatin1String("<home>"))) {
      QTest::keyClick(field, Qt::Key_Home);
      i += 6;
    } else if (script.mid(i).startsWith(QLatin1String("<bs>"))) {
      QTest::keyClick(field, Qt::Key_Backspace);
      i += 4;
    } else if (script.mid(i).startsWith(QLatin1String("<paste:"))) {
      const qsizetype end = script.indexOf(u'>', i);
      if (end < 0) return false;
      QGuiApplication::clipboard()->setText(script.mid(i + 7, end - i - 7));
      QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
      i = end + 1;
    } else {
      QTest::keyClick(field, script[i++].toLatin1());
    }
  }
  return true;
}

}  // namespace

Q_DECLARE_METATYPE(FieldMaker)

class NumericFieldsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void typingAndLeaving_data() {
    QTest::addColumn<FieldMaker>("make");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("whileTyping");
    QTest::addColumn<QString>("afterLeaving");
    QTest::addColumn<bool>("byReturn");  // Return instead of Tab ends the editing

    auto row = [](const char* name, FieldMaker make, const char* script, const char* typing, const char* leaving,
                  bool byReturn = false) {
      QTest::newRow(name) << make << QString::fromLatin1(script) << QString::fromLatin1(typing)
                          << QString::fromLatin1(leaving) << byReturn;
    };

    row("page count 12x", Make<PageCountNumberField>, "12x", "12", "12");
    row("page count cleared", Make<PageCountNumberField>, "5<bs>", "", "1");
    row("page count -3", Make<PageCountNumberField>, "3<home>-", "-3", "1", true);
    row("page count 0", Make<PageCountNumberField>, "0", "0", "1");
    row("page count letters", Make<PageCountNumberField>, "x", "1", "1");

    row("whole number minus", Make<WholeNumberField>, "-", "0", "0");
    row("whole number -7", Make<WholeNumberField>, "7<home>-", "-7", "0");
    row("whole number empty", Make<WholeNumberField>, "", "", "");
    row("whole number 5a", Make<WholeNumberField>, "5a", "5", "5");
    row("whole number clean overflow", Make<WholeNumberField>, "99999999999", "99999999999", "99999999999");
    row("whole number overflow clamps", Make<WholeNumberField>, "99999999999x", "2147483647", "2147483647");
    row("whole number space inside", Make<WholeNumberField>, "1 2", "1", "1");
    row("whole number trailing space", Make<WholeNumberField>, "12 ", "12 ", "12 ");

    row("number letters", Make<NumberField>, "abc", "0", "0");
    row("number fraction", Make<NumberField>, "2.5x", "2.5", "2.5");
    row("number -5", Make<NumberField>, "5<home>-", "-5", "0");
    row("number exponent typed", Make<NumberField>, "1e3", "13", "13");
    row("number exponent pasted", Make<NumberField>, "<paste:1e3>", "1e3", "1e3");

    row("zero count -3", Make<ZeroCountNumberField>, "3<home>-", "-3", "0");
    row("zero count 4z", Make<ZeroCountNumberField>, "4z", "4", "4");

    row("start digit 1.5q", Make<StartDigitNumberField>, "1.5q", "1.5", "1.5");
    row("start digit -2", Make<StartDigitNumberField>, "2<home>-", "-2", "0");

    row("file size letters", Make<FileSizeNumberField>, "abc", "0.5", "0.5");
    row("file size 0.2", Make<FileSizeNumberField>, "0.2", "0.2", "0", true);
    row("file size empty", Make<FileSizeNumberField>, "", "", "0");
    row("file size 3x", Make<FileSizeNumberField>, "3x", "3", "3");
    row("file size 0.1x", Make<FileSizeNumberField>, "0.1x", "0.5", "0.5");

    row("resolution 0", Make<ResolutionComboBox>, "0", "0", "1", true);
    row("resolution letters", Make<ResolutionComboBox>, "x", "1", "1");
    row("resolution empty", Make<ResolutionComboBox>, "", "", "1");
    row("resolution dpi", Make<ResolutionComboBox>, "72dpi", "72", "72");

    row("font size 12pt", Make<FontSizeNumberField>, "12pt", "12", "12");
    row("font size 0", Make<FontSizeNumberField>, "0", "0", "1");

    row("rotation empty", Make<RotationAngleNumberField>, "", "", "0");
    row("rotation degrees sign", Make<RotationAngleNumberField>, "90d", "90", "90");
    row("rotation -90", Make<RotationAngleNumberField>, "90<home>-", "-90", "0");

    row("blur empty", Make<ShadowBlurNumberField>, "", "", "0");
    row("blur -3", Make<ShadowBlurNumberField>, "3<home>-", "-3", "0");

    row("x offset minus", Make<ShadowXOffsetNumberField>, "-", "-", "-");
    row("x offset below bound", Make<ShadowXOffsetNumberField>, "-6000", "-6000", "-5000", true);
    row("x offset -70x", Make<ShadowXOffsetNumberField>, "-70x", "-70", "-70");
    row("x offset large", Make<ShadowXOffsetNumberField>, "99999", "99999", "99999");
    row("x offset bound", Make<ShadowXOffsetNumberField>, "-5000", "-5000", "-5000");
    row("x offset far below, unclean", Make<ShadowXOffsetNumberField>, "-9000x", "-5000", "-5000");
    row("x offset empty", Make<ShadowXOffsetNumberField>, "", "", "");
    row("y offset below bound", Make<ShadowYOffsetNumberField>, "-9999", "-9999", "-5000");
    row("y offset -70x", Make<ShadowYOffsetNumberField>, "-70x", "-70", "-70");

    row("pdf scale 150%", Make<PDFScaleNumberField>, "150%", "150%", "150%");
    row("pdf scale 0%", Make<PDFScaleNumberField>, "0%", "0%", "1");
    row("pdf scale space before", Make<PDFScaleNumberField>, "150<home> ", "150", "150");
    row("pdf scale letters", Make<PDFScaleNumberField>, "x", "1", "1");
    row("pdf scale empty", Make<PDFScaleNumberField>, "", "", "1");

    row("char space letters", Make<CharSpaceField>, "abc", "0", "0");
    row("char space -1", Make<CharSpaceField>, "1<home>-", "-1", "0");

    row("scale above bound", Make<ScaleComboBox>, "7000", "6400", "6400");
    row("scale above bound with percent", Make<ScaleComboBox>, "7000%", "6400%", "6400%");
    row("scale pasted with percent", Make<ScaleComboBox>, "<paste:9000%>", "6400", "6400");
    row("scale letters", Make<ScaleComboBox>, "abc", "1", "1");
    row("scale 0 has no clamp", Make<ScaleComboBox>, "0", "0", "0", true);
    row("scale -5", Make<ScaleComboBox>, "5<home>-", "-5", "-5");
    row("scale empty", Make<ScaleComboBox>, "", "", "");
    row("scale 6400", Make<ScaleComboBox>, "6400", "6400", "6400");
    row("scale 6401", Make<ScaleComboBox>, "6401", "6400", "6400");

    row("page range 1-5,8", Make<PageRangeNumberField>, "1-5,8", "1-5,8", "1-5,8");
    row("page range leading space", Make<PageRangeNumberField>, "1-5<home> ", "1-5", "1-5");
    row("page range 1-5a", Make<PageRangeNumberField>, "1-5a", "1-5", "1-5");
    row("page range double comma", Make<PageRangeNumberField>, "1-5,,", "1-5,", "1-5,");
    row("page range 1-,", Make<PageRangeNumberField>, "1-,", "1-", "1-");
    row("page range lone comma", Make<PageRangeNumberField>, ",", "", "");
    row("page range a1 pasted", Make<PageRangeNumberField>, "<paste:a1>", "", "");
    row("page range inner pair pasted", Make<PageRangeNumberField>, "<paste:1--2>", "1--2", "1--2");
    row("page range pasted separators", Make<PageRangeNumberField>, "<paste:,-/, ,1>", "", "");
    row("page range pasted with tail", Make<PageRangeNumberField>, "<paste:  3-4, 7 x>", "3-4,", "3-4,");
  }

  void typingAndLeaving() {
    QFETCH(FieldMaker, make);
    QFETCH(QString, script);
    QFETCH(QString, whileTyping);
    QFETCH(QString, afterLeaving);
    QFETCH(bool, byReturn);

    Window window(make());
    QWidget* field = window.field;
    QVERIFY(QTest::qWaitForWindowActive(&window.widget));
    field->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY_WITH_TIMEOUT(field->hasFocus(), 10'000);

    QVERIFY(Play(field, script));
    QLineEdit* editor = EditorOf(field);
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), whileTyping);

    QTest::keyClick(field, byReturn ? Qt::Key_Return : Qt::Key_Tab);
    if (!byReturn) QTRY_VERIFY_WITH_TIMEOUT(window.neighbour->hasFocus(), 10'000);
    QCOMPARE(editor->text(), afterLeaving);
    // Return does not add to a combo box's list.
    if (auto* combo = qobject_cast<QComboBox*>(field)) QCOMPARE(combo->count(), 0);
  }

  // Observers never see a text before it was corrected, editingFinished sees
  // it clamped, and a combo box keeps its list.
  void signalsAndLists() {
    auto* field = new PageCountNumberField;
    auto* scale = new PDFScaleNumberField;
    auto* combo = new ScaleComboBox;
    Window window(field);
    window.widget.layout()->addWidget(scale);
    window.widget.layout()->addWidget(combo);
    QVERIFY(QTest::qWaitForWindowActive(&window.widget));
    QStringList seen;
    connect(field, &QLineEdit::textChanged, this, [&](const QString& text) { seen.append(text); });
    connect(field, &QLineEdit::textEdited, this, [&](const QString& text) { seen.append(text); });
    field->setFocus(Qt::OtherFocusReason);
    QVERIFY(Play(field, QStringLiteral("12x<bs>y")));
    QCOMPARE(field->text(), QStringLiteral("1"));
    for (const QString& text : seen) QVERIFY2(!text.contains(u'x') && !text.contains(u'y'), qPrintable(text));
    QCOMPARE(seen.last(), QStringLiteral("1"));

    QStringList finished;
    connect(scale, &QLineEdit::editingFinished, this, [&] { finished.append(scale->text()); });
    scale->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY_WITH_TIMEOUT(scale->hasFocus(), 10'000);
    QVERIFY(Play(scale, QStringLiteral("0%")));
    window.neighbour->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 10'000);
    QCOMPARE(finished.first(), QStringLiteral("1"));

    combo->addItems({QStringLiteral("50%"), QStringLiteral("100%"), QStringLiteral("200%")});
    combo->setCurrentIndex(1);
    combo->setFocus(Qt::OtherFocusReason);
    QVERIFY(Play(combo, QStringLiteral("<paste:12000>")));
    QCOMPARE(combo->currentText(), QStringLiteral("6400"));
    QCOMPARE(combo->count(), 3);
  }
};

QTEST_MAIN(NumericFieldsTest)
#include "tst_numeric_fields.moc"
