#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One running instance per user: a later launch hands its file arguments
// to the running one over a local socket and exits.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // The socket name for this user; QUILLPRESS_INSTANCE_NAME replaces it.
  static QString DefaultName();

  // Sends the paths to the instance listening on name. True when it took
  // them; false when none is running (or it did not answer in time).
  static bool ForwardToRunningInstance(const QString& name, const QStringList& paths,
                                       int timeoutMs = 5000);

  explicit SingleInstance(const QString& name, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Becomes the running instance. A socket left behind by an instance that
  // died is taken over.
  bool Listen();

 Q_SIGNALS:
  void filesReceived(const QStringList& paths);

 private:
  void AcceptConnection();

  QString m_name;
  QLocalServer* m_server = nullptr;
};
