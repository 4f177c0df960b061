#include "ProgressHUDView.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QRadialGradient>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

ProgressHUDView::ProgressHUDView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_TranslucentBackground);
  setObjectName(QStringLiteral("addSpinView"));

  m_spinProgressIndicator = new QProgressBar(this);
  m_spinProgressIndicator->setObjectName(QStringLiteral("spinProgressIndicator"));
  m_spinProgressIndicator->setTextVisible(false);
  m_spinProgressIndicator->setFixedWidth(160);
  m_messageTextField = new QLabel(this);
  m_messageTextField->setObjectName(QStringLiteral("messageTextField"));
  m_messageTextField->setAlignment(Qt::AlignCenter);
  QPalette palette = m_messageTextField->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  m_messageTextField->setPalette(palette);

  auto* layout = new QVBoxLayout(this);
  layout->addStretch();
  layout->addWidget(m_spinProgressIndicator, 0, Qt::AlignHCenter);
  layout->addWidget(m_messageTextField, 0, Qt::AlignHCenter);
  layout->addStretch();

  m_messageTextField->hide();
  m_spinProgressIndicator->hide();
  // Indeterminate: Qt draws a busy bar for an empty range.
  m_spinProgressIndicator->setRange(0, 1);
  update();

  if (parent != nullptr) {
    parent->installEventFilter(this);
    FollowParent();
  }
}

void ProgressHUDView::StartAddSpinning() {
  m_spinning = true;
  m_spinProgressIndicator->setRange(0, 0);
  m_spinProgressIndicator->show();
  m_messageTextField->show();
  FollowParent();
  show();
  raise();
  update();
}

void ProgressHUDView::StopAddSpinning() {
  hide();
  update();
  m_spinning = false;
  m_spinProgressIndicator->setRange(0, 1);
  m_spinProgressIndicator->hide();
  m_messageTextField->setHidden(false);
}

void ProgressHUDView::SetMessageString(const QString& message) {
  m_spinning = false;
  m_spinProgressIndicator->setRange(0, 1);
  m_spinProgressIndicator->hide();
  m_messageTextField->setText(message);
  m_messageTextField->show();
  FollowParent();
  show();
  raise();
  update();
}

void ProgressHUDView::removeMessageString() {
  hide();
  update();
  m_messageTextField->hide();
}

double ProgressHUDView::GradientAlphaAt(QSizeF size, QPointF point) {
  const double radius = static_cast<double>(static_cast<float>(std::max(size.width(), size.height())));
  if (radius <= 0.0) return 0.75;
  const double dx = point.x() - size.width() * 0.5;
  const double dy = point.y() - size.height() * 0.5;
  const double t = std::min(1.0, std::hypot(dx, dy) / radius);
  return 0.75 * t;
}

void ProgressHUDView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF bounds = rect();
  const QPointF centre(bounds.width() * 0.5, bounds.height() * 0.5);
  const auto radius = static_cast<qreal>(static_cast<float>(std::max(bounds.width(), bounds.height())));
  QRadialGradient gradient(centre, radius, centre);
  gradient.setColorAt(0.0, QColor::fromRgbF(0, 0, 0, 0));
  gradient.setColorAt(1.0, QColor::fromRgbF(0, 0, 0, 0.75f));
  // Beyond the end circle the end colour goes on.
  gradient.setSpread(QGradient::PadSpread);
  painter.fillRect(bounds, gradient);
}

bool ProgressHUDView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) FollowParent();
  return QWidget::eventFilter(watched, event);
}

void ProgressHUDView::FollowParent() {
  if (QWidget* parent = parentWidget()) setGeometry(parent->rect());
}
