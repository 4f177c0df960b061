#pragma once

#include <QByteArrayList>
#include <QObject>

class QLocalServer;

// One running instance per desktop session: a later launch in the same
// session hands its file arguments to the running one over a local socket
// in the session's runtime folder and exits. Paths travel as bytes, so names
// that are not UTF-8 arrive as they were given.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Forwarding {
    Forwarded,   // the running instance took the paths
    NoneRunning, // nobody listens: become the running instance
    Busy,        // an instance listens but did not answer in time
  };

  // The socket for this session: $XDG_RUNTIME_DIR/quillpress/instance-DISPLAY
  // (the Wayland or X display), so that a launch on one display never hands
  // its files to a window on another. QUILLPRESS_INSTANCE_NAME replaces it.
  static QString DefaultName();

  static Forwarding ForwardToRunningInstance(const QString& name, const QByteArrayList& paths,
                                             int timeoutMs = 5000);

  explicit SingleInstance(const QString& name, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Becomes the running instance. A socket left behind by an instance that
  // died (nobody accepts on it) is taken over; a live one never is.
  bool Listen();

 Q_SIGNALS:
  void filesReceived(const QByteArrayList& paths);

 private:
  void AcceptConnection();

  QString m_name;
  QLocalServer* m_server = nullptr;
};
