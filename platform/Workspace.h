#pragma once

#include <QUrl>

#include <filesystem>
#include <functional>

// The desktop's workspace: opening documents, folders and web pages in the
// user's default applications, and showing a file in the file viewer.
// Requests return at once; whether the desktop managed is known only later,
// so a failure is reported through the failure handler, on the main thread.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // Opens a web address in the browser, a file or folder in its default
  // application. Answers whether the request could be handed over.
  virtual bool OpenURL(const QUrl& url) = 0;

  // Opens a file viewer window on the file's folder with the file selected.
  virtual bool SelectFile(const std::filesystem::path& file) = 0;

  // Told of every address the desktop could not open (no program for it).
  using FailureHandler = std::function<void(const QUrl& url)>;
  void setFailureHandler(FailureHandler handler) { m_failureHandler = std::move(handler); }

 protected:
  void ReportFailure(const QUrl& url) const {
    if (m_failureHandler) m_failureHandler(url);
  }

 private:
  FailureHandler m_failureHandler;
};

// The real workspace: the desktop's opener program (xdg-open), and the
// freedesktop file manager interface over D-Bus for revealing, falling back
// to opening the folder. Nothing here waits on the main thread.
class DesktopWorkspace final : public Workspace {
 public:
  bool OpenURL(const QUrl& url) override;
  bool SelectFile(const std::filesystem::path& file) override;

  static DesktopWorkspace& Shared();

 private:
  void ReportFailureLater(const QUrl& url);
};

// A file URL for a byte-exact path.
QUrl FileUrlForPath(const std::filesystem::path& path);
