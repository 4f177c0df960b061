#include "app/ApplicationResources.h"

#include "BMTUtil.h"

#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>
#include <QTranslator>

#include <system_error>

void InstallStringTable() {
  static QTranslator* installed = nullptr;
  if (installed != nullptr || QCoreApplication::instance() == nullptr) return;
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (translator->load(QStringLiteral(":/i18n/quillpress_en.qm"))) {
    QCoreApplication::installTranslator(translator);
    installed = translator;
  } else {
    delete translator;
  }
}

namespace {

QPixmap RenderTinted(const QByteArray& svg, const QColor& colour, int size) {
  QByteArray tinted = svg;
  tinted.replace("currentColor", colour.name(QColor::HexRgb).toLatin1());
  QSvgRenderer renderer(tinted);
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  if (!renderer.isValid()) return pixmap;
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  return pixmap;
}

}  // namespace

QIcon TemplateIcon(const QString& baseName, const QPalette& palette) {
  QFile file(QStringLiteral(":/icons/") + baseName + QStringLiteral(".svg"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray svg = file.readAll();
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) {
    icon.addPixmap(RenderTinted(svg, palette.color(QPalette::Active, QPalette::ButtonText), size),
                   QIcon::Normal);
    icon.addPixmap(RenderTinted(svg, palette.color(QPalette::Disabled, QPalette::ButtonText), size),
                   QIcon::Disabled);
  }
  return icon;
}

std::optional<std::filesystem::path> UserManualPath() {
  std::filesystem::path manual =
      BMTUtil::FindInstalledFile(BMTUtil::InstalledFile::Data,
                                 "quillpress/Quillpress User Manual.pdf");
  if (manual.empty()) return std::nullopt;
  return manual;
}
