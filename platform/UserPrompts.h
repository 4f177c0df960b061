#pragma once

#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <vector>

class QWidget;

// What an open panel is asked for.
struct OpenPanelRequest {
  QString title;
  QString prompt;  // the confirm button's title
  bool canChooseFiles = true;
  bool canChooseDirectories = false;
  bool allowsMultipleSelection = false;
  bool canCreateDirectories = false;
  // Extensions or type identifiers that may be chosen; empty allows all.
  QStringList allowedFileTypes;
  // Shown inside the panel below its list; the caller keeps ownership.
  QWidget* accessoryView = nullptr;
};

// What an alert says and offers. Every text is shown as plain text: a file
// name is never markup.
struct AlertRequest {
  enum class Kind { Information, Warning, Critical, Question };
  Kind kind = Kind::Warning;
  QString title;
  QString message;
  // Long or technical matter (failed files and the converter's own words),
  // shown in a details area that the user opens.
  QString details;
  QString defaultButton;
  QString alternateButton;  // empty: one button
  // What Escape and the window's close button answer: the harmless choice.
  int escapeAnswer = 1;
};

// The one place where the system asks the user something. The window uses
// the Qt dialogs; tests put a scripted implementation in its place so that no
// test ever waits on a real modal dialog.
class UserPrompts {
 public:
  virtual ~UserPrompts() = default;

  // A modal alert with a title, a message and up to two buttons (an empty
  // alternate title means one button). Answers 1 for the default button and
  // 0 for the alternate one.
  // A warning whose harmless answer is the alternate button when there is
  // one (the question asked before quitting), else the only button.
  int RunAlertPanel(QWidget* parent, const QString& title, const QString& message,
                    const QString& defaultButton, const QString& alternateButton) {
    AlertRequest request;
    request.title = title;
    request.message = message;
    request.defaultButton = defaultButton;
    request.alternateButton = alternateButton;
    request.escapeAnswer = alternateButton.isEmpty() ? 1 : 0;
    return RunAlert(parent, request);
  }
  virtual int RunAlert(QWidget* parent, const AlertRequest& request) = 0;

  // An open panel as a sheet on window. completion runs on the main thread
  // once, with 1 and the chosen entries in the panel's order when the user
  // confirmed, 0 and nothing when cancelled.
  using OpenPanelCompletion =
      std::function<void(int result, std::vector<std::filesystem::path> chosen)>;
  virtual void BeginOpenPanelSheet(QWidget* window, const OpenPanelRequest& request,
                                   OpenPanelCompletion completion) = 0;
};
