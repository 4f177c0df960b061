#pragma once

#include "platform/FileUri.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QMimeData>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

// Drag data that promises one file to whichever folder the drop target names,
// through the X Direct Save protocol: the drag offers the single type
// "XdndDirectSave0", the promised name is left on the drag's source window,
// and when the target asks for the data, fulfil runs (on the main thread)
// with the folder it wrote back. The target hears "S" when fulfil took the
// promise, "F" when it refused or the folder is not one, "E" when the target
// named something that is not a file on this machine.
//
// Made for a plain QDrag::exec (as QAbstractItemView::startDrag runs it): the
// name is put in place once the drag has begun, from the event loop the drag
// runs. Outside X11 the type is still listed but nothing is promised and
// fulfil never runs.
class DirectSaveMimeData : public QMimeData {
  Q_OBJECT

 public:
  using Fulfil = std::function<bool(const std::filesystem::path& folder)>;

  static inline const QString kFormat = QStringLiteral("XdndDirectSave0");

  DirectSaveMimeData(QString promisedFileName, Fulfil fulfil);
  // The name as bytes, for names that are not UTF-8.
  DirectSaveMimeData(const std::filesystem::path& promisedFileName, Fulfil fulfil);
  ~DirectSaveMimeData() override;

  QStringList formats() const override;

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

 private:
  void Begin();
  void OfferName();
  QByteArray Answer() const;

  QByteArray m_name;
  Fulfil m_fulfil;
  std::uint32_t m_window = 0;          // the drag's source window, once known
  mutable QByteArray m_settledAnswer;  // "S" or "F" once fulfil has run
};
