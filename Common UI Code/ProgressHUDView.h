#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

// A translucent busy overlay: a dark radial vignette with a spinner and a
// line of text on top. It covers its parent widget and follows its size.
class ProgressHUDView : public QWidget {
  Q_OBJECT
 public:
  explicit ProgressHUDView(QWidget* parent = nullptr);

  QProgressBar* spinProgressIndicator() const { return m_spinProgressIndicator; }
  void setSpinProgressIndicator(QProgressBar* indicator) { m_spinProgressIndicator = indicator; }
  QLabel* messageTextField() const { return m_messageTextField; }
  void setMessageTextField(QLabel* field) { m_messageTextField = field; }

  // Busy mode: spinner turning and the message field's current text.
  void StartAddSpinning();
  void StopAddSpinning();
  // Message mode: the given text alone, no spinner.
  void SetMessageString(const QString& message);
  void removeMessageString();

  bool isSpinning() const { return m_spinning; }

  // The overlay's darkness (alpha, 0 to 1) at a point of a view of the given
  // size: transparent at the centre, 0.75 at the larger of the two sides.
  static double GradientAlphaAt(QSizeF size, QPointF point);

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FollowParent();

  QProgressBar* m_spinProgressIndicator = nullptr;
  QLabel* m_messageTextField = nullptr;
  bool m_spinning = false;
};
