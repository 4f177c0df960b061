#pragma once

#include "platform/UserPrompts.h"

// The user prompts on Qt's own dialogs: application-modal message boxes and
// window-modal, non-native file dialogs that can hold an accessory widget.
class QtUserPrompts final : public UserPrompts {
 public:
  int RunAlert(QWidget* parent, const AlertRequest& request) override;
  void BeginOpenPanelSheet(QWidget* window, const OpenPanelRequest& request,
                           OpenPanelCompletion completion) override;

  static QtUserPrompts& Shared();
};
