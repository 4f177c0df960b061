#pragma once

#include <QIcon>

#include <filesystem>
#include <optional>

class QPalette;

// Loads the English string table into the application once.
void InstallStringTable();

// A toolbar image by its base name ("Add", "Remove", ...), drawn in the
// palette's button text colour, dimmed when disabled. Null when missing.
QIcon TemplateIcon(const QString& baseName, const QPalette& palette);

// The user manual PDF shipped with the application: beside the build's
// programs or under the install prefix. Empty when it cannot be found.
std::optional<std::filesystem::path> UserManualPath();

// The address of the support web page.
inline constexpr const char* kSupportPageAddress = "https://quillpress.org/support";
