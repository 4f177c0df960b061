#pragma once

#include "platform/FileUri.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QMimeData>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class BackgroundTasks;

// Drag data that promises one file to whichever folder the drop target names,
// through the X Direct Save protocol: the drag offers the single type
// "XdndDirectSave0", the promised name is left on the drag's source window,
// and when the target asks for the data, fulfil runs (on the main thread)
// with the folder it wrote back. The target hears "S" when fulfil took the
// promise, "F" when it refused or the folder is not one, "E" when the target
// named something that is not a file on this machine.
//
// The target's request is answered later, never from inside it: whether the
// named folder is one is looked up by `looks` off the main thread (a folder
// on a mount that does not answer must not hold the window), and a look that
// takes longer than a few seconds counts as no folder.
//
// Made for a plain QDrag::exec (as QAbstractItemView::startDrag runs it): the
// name is put in place once the drag has begun, from the event loop the drag
// runs. Outside X11 the type is still listed but nothing is promised and
// fulfil never runs.
class DirectSaveMimeData : public QMimeData, private QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  using Fulfil = std::function<bool(const std::filesystem::path& folder)>;

  static inline const QString kFormat = QStringLiteral("XdndDirectSave0");

  // The name as bytes, for names that are not UTF-8.
  DirectSaveMimeData(const std::filesystem::path& promisedFileName, Fulfil fulfil,
                     std::shared_ptr<BackgroundTasks> looks);
  ~DirectSaveMimeData() override;

  QStringList formats() const override;

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

 private:
  // A target's data request, to be answered.
  struct Request {
    std::uint32_t requestor;
    std::uint32_t property;
    std::uint32_t target;
    std::uint32_t time;
  };

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
  void OfferName();
  void Take(const Request& request);
  void Settle(const QByteArray& answer);
  void Answer(const Request& request, const QByteArray& answer) const;

  QByteArray m_name;
  Fulfil m_fulfil;
  std::shared_ptr<BackgroundTasks> m_looks;
  std::uint32_t m_window = 0;     // the drag's source window, once known
  QByteArray m_settledAnswer;     // "S" or "F" once the promise is settled
  std::vector<Request> m_waiting;  // requests made while the look runs
  QTimer m_lookDeadline;
};
