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
  using Alert = AlertRequest;
  std::vector<Alert> alerts;
  // 1 default, 0 alternate, kEscape as Escape would; empty answers 1.
  static constexpr int kEscape = -1;
  std::deque<int> alertAnswers;
  std::vector<OpenPanelRequest> panels;
  std::deque<std::vector<std::filesystem::path>> panelAnswers;  // chosen; none left cancels
  // Runs while the panel is "open", e.g. to tick the accessory's boxes.
  std::function<void(const OpenPanelRequest&)> whilePanelOpen;
  int completedPanels = 0;

  void AnswerNextPanel(std::vector<std::filesystem::path> chosen) { panelAnswers.push_back(std::move(chosen)); }

  int RunAlert(QWidget*, const AlertRequest& request) override {
    alerts.push_back(request);
    const int answer = alertAnswers.empty() ? 1 : alertAnswers.front();
    if (!alertAnswers.empty()) alertAnswers.pop_front();
    return answer == kEscape ? request.escapeAnswer : answer;
  }

  void BeginOpenPanelSheet(QWidget*, const OpenPanelRequest& request, OpenPanelCompletion completion) override {
    panels.push_back(request);
    if (whilePanelOpen) whilePanelOpen(request);
    const int result = panelAnswers.empty() ? 0 : 1;
    std::vector<std::filesystem::path> chosen;
    if (result) chosen = std::move(panelAnswers.front()), panelAnswers.pop_front();
    QTimer::singleShot(0, &m_alive, [this, result, completion = std::move(completion), chosen = std::move(chosen)] {
      completion(result, chosen);
      ++completedPanels;
    });
  }

 private:
  QObject m_alive;  // a panel still open when the prompts go completes never
};
