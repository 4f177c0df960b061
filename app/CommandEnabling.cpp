#include "app/CommandEnabling.h"

bool ExportItemsEnabled(bool working, int status, std::size_t listCount) {
  if (working) return status == kWorkStatusEnded;
  return listCount > 0;
}

bool RemoveItemsEnabled(bool working, std::size_t listCount) {
  return !working && listCount > 0;
}

CommandStates StatesForWorkStatus(const CommandStates& current, int status, std::size_t listCount) {
  CommandStates states = current;
  states.exportEnabled = ExportItemsEnabled(true, status, listCount);
  if (status != kWorkStatusEnded) {
    states.removeEnabled = false;
    states.addEnabled = false;
  } else {
    states.removeEnabled = RemoveItemsEnabled(false, listCount);
    states.addEnabled = true;
  }
  return states;
}

CommandStates StatesForList(const CommandStates& current, std::size_t listCount) {
  CommandStates states = current;
  states.exportEnabled = ExportItemsEnabled(false, 0, listCount);
  states.removeEnabled = RemoveItemsEnabled(false, listCount);
  return states;
}

bool MenuItemEnabled(ListCommand command, const CommandStates& states, int selectedRows) {
  switch (command) {
    case ListCommand::AddImage: return states.addEnabled;
    case ListCommand::Export:
    case ListCommand::ExportAll: return states.exportEnabled;
    case ListCommand::SelectAll:
    case ListCommand::Remove:
    case ListCommand::RemoveAll: return states.removeEnabled;
    case ListCommand::RevealInFinder: return states.removeEnabled && selectedRows == 1;
    case ListCommand::Other: return true;
  }
  return true;
}
