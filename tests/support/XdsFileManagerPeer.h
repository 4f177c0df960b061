#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <memory>
#include <optional>

// The file manager's side of a drag, for tests under a real X server: a
// top-level window, on a connection and thread of its own, that takes Xdnd
// drops the way a file manager showing `folder` does, and a pointer driven
// through the XTest extension to drag onto it.
//
// DirectSave: accepts drags offering "XdndDirectSave0"; on the drop it reads
// the promised name from the source window, writes back
// file://<host>/<folder>/<name>, asks for the "XdndDirectSave0" data and
// records the source's answer, then finishes the drop.
// UriListOnly: a target without direct save that accepts only drags offering
// "text/uri-list" (and asks for that on the drop).
// AcceptWithoutDirectSave: a target without direct save that accepts any drag
// and, on the drop, asks for "text/uri-list" only.
struct XdsPeerOptions {
  QByteArray host;                        // written in the URI, e.g. LocalHostName()
  std::optional<QByteArray> uriOverride;  // a whole URI written instead of the folder's
  bool askTwice = false;                  // asks for the data again, as a clumsy target might
};

class XdsFileManagerPeer {
 public:
  enum class Mode { DirectSave, UriListOnly, AcceptWithoutDirectSave };

  // What the peer has seen so far; a snapshot, safe to take from any thread.
  struct Observation {
    int enters = 0;
    int positions = 0;
    int acceptedPositions = 0;  // positions answered with "accept"
    int drops = 0;
    QStringList offeredTypes;   // of the latest enter
    QByteArray promisedName;    // read from the source at the drop
    QByteArray writtenUri;      // written back to the source
    bool answered = false;      // the source answered the data request
    QByteArray answer;          // its data; empty when it refused the request
    QByteArray secondAnswer;    // with askTwice, the answer to the second request
    QByteArray uriList;         // "text/uri-list" data, without direct save
    bool finished = false;      // XdndFinished sent for the drop
    bool finishedAccepted = false;
    bool pointerReleased = false;
    QString problem;            // the first thing that went wrong, if any
  };

  using Options = XdsPeerOptions;

  // Starts the thread, makes the window at `geometry` (root coordinates) and
  // returns once it is on screen; see ready()/problem on failure.
  XdsFileManagerPeer(Mode mode, std::filesystem::path folder, Options options = {},
                     QRect geometry = QRect(700, 100, 300, 300));
  ~XdsFileManagerPeer();
  XdsFileManagerPeer(const XdsFileManagerPeer&) = delete;
  XdsFileManagerPeer& operator=(const XdsFileManagerPeer&) = delete;

  bool ready() const;
  QRect geometry() const;
  QPoint center() const;

  // Presses the first button at `from`, moves in `steps` steps to `to`, waits
  // for the source to have been answered there, and releases. Returns at
  // once; observation().pointerReleased tells when it is done. Without
  // waitForPeer it releases right after the last motion, for drops that
  // land somewhere other than the peer.
  void dragPointer(QPoint from, QPoint to, int steps = 12, bool waitForPeer = true);
  // Presses the first button at `at` and moves once to `nudge`, keeping the
  // button down; a following dragPointer carries on from there. Item views
  // take a drag up only from a second motion, so a test waits until the
  // first one has arrived before it drags on.
  void pressPointer(QPoint at, QPoint nudge);
  // With the button held from pressPointer: moves from `from` to `to` in
  // steps, each one flushed on its own, and, separately, lets the button go.
  void movePointer(QPoint from, QPoint to, int steps = 6);
  void releasePointer();

  Observation observation() const;

  // Percent-escapes a path for a file URI, byte for byte.
  static QByteArray FileUri(const QByteArray& host, const std::filesystem::path& path);

 private:
  struct State;
  std::unique_ptr<State> m_state;
};
