#pragma once

#include "platform/UserPrompts.h"

#include <QTimer>

#include <deque>
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

// Answers alerts and open panels from a script instead of the user. Panels
// complete from the event loop, as a sheet does.
class ScriptedUserPrompts final : public UserPrompts {
 public:
  struct Alert {
    QString title;
    QString message;
    QString defaultButton;
    QString alternateButton;
    AlertRequest request;
  };
  struct PanelAnswer {
    int result = 0;
    std::vector<std::filesystem::path> chosen;
  };

  std::vector<Alert> alerts;
  // 1 default, 0 alternate, kEscape as Escape would; empty answers 1.
  static constexpr int kEscape = -1;
  std::deque<int> alertAnswers;
  std::vector<OpenPanelRequest> panels;
  std::deque<PanelAnswer> panelAnswers;  // empty cancels
  // Runs while the panel is "open", e.g. to tick the accessory's boxes.
  std::function<void(const OpenPanelRequest&)> whilePanelOpen;
  // Panels whose completion has run.
  int completedPanels = 0;

  void AnswerNextPanel(std::vector<std::filesystem::path> chosen) {
    panelAnswers.push_back(PanelAnswer{1, std::move(chosen)});
  }

  int RunAlert(QWidget*, const AlertRequest& request) override {
    alerts.push_back(Alert{request.title, request.message, request.defaultButton,
                           request.alternateButton, request});
    if (alertAnswers.empty()) return 1;
    const int answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer == kEscape ? request.escapeAnswer : answer;
  }

  void BeginOpenPanelSheet(QWidget*, const OpenPanelRequest& request,
                           OpenPanelCompletion completion) override {
    panels.push_back(request);
    if (whilePanelOpen) whilePanelOpen(request);
    PanelAnswer answer;
    if (!panelAnswers.empty()) {
      answer = std::move(panelAnswers.front());
      panelAnswers.pop_front();
    }
    QTimer::singleShot(0, &m_alive, [this, completion = std::move(completion), answer = std::move(answer)] {
      completion(answer.result, answer.chosen);
      ++completedPanels;
    });
  }

 private:
  QObject m_alive;  // a panel still open when the prompts go completes never
};
