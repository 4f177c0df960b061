#pragma once

#include <cstddef>

// The list commands' enabling rules, apart from the widgets that show them.

// A work status of this value means the work has ended; any other value
// means it is in progress.
inline constexpr int kWorkStatusEnded = 5;
// What an adding run reports when it starts.
inline constexpr int kWorkStatusAdding = 1;

// The three button groups that carry the state of every list command.
struct CommandStates {
  bool exportEnabled = false;  // Convert and Convert All
  bool removeEnabled = false;  // Remove and Remove All
  bool addEnabled = true;      // Add
};

enum class ListCommand {
  AddImage,
  Export,
  ExportAll,
  SelectAll,
  Remove,
  RemoveAll,
  RevealInFinder,
  Other,
};

// Convert controls: with work going on they follow the status, otherwise
// the list's content.
bool ExportItemsEnabled(bool working, int status, std::size_t listCount);
// Remove controls: never while working, otherwise when the list has items.
bool RemoveItemsEnabled(bool working, std::size_t listCount);

// The state after an adding run or other work reports status.
CommandStates StatesForWorkStatus(const CommandStates& current, int status, std::size_t listCount);
// The state that follows the list's content alone.
CommandStates StatesForList(const CommandStates& current, std::size_t listCount);

// Whether a menu item standing for command is enabled: each follows the
// button that stands for it; Reveal also needs exactly one selected row.
bool MenuItemEnabled(ListCommand command, const CommandStates& states, int selectedRows);
