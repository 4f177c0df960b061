#pragma once

#include <QUrl>

#include <filesystem>

// The desktop's workspace: opening documents, folders and web pages in the
// user's default applications, and showing a file in the file viewer.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // Opens a web address in the browser, a file or folder in its default
  // application. Answers whether the desktop accepted the request.
  virtual bool OpenURL(const QUrl& url) = 0;

  // Opens a file viewer window on the file's folder with the file selected.
  virtual bool SelectFile(const std::filesystem::path& file) = 0;
};

// The real workspace: QDesktopServices, and the freedesktop file manager
// interface over D-Bus for revealing, falling back to opening the folder.
class DesktopWorkspace final : public Workspace {
 public:
  bool OpenURL(const QUrl& url) override;
  bool SelectFile(const std::filesystem::path& file) override;

  static DesktopWorkspace& Shared();
};

// A file URL for a byte-exact path.
QUrl FileUrlForPath(const std::filesystem::path& path);
