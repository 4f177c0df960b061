#pragma once

#include <array>
#include <string>
#include <string_view>

// The six names the Add panel allows and the PostScript test looks up: four
// extensions and the two type identifiers.
inline constexpr std::array<std::string_view, 6> kAcceptedTypes = {
    "ps", "PS", "eps", "EPS", "com.adobe.postscript", "com.adobe.encapsulated-postscript"};

// The type identifier of a file as the platform sees it ("com.adobe.postscript",
// "com.adobe.encapsulated-postscript"), or empty when it is neither.
// Both take the path's bytes (a std::filesystem::path converts), so that a
// folder scan need not make a path of every name it tests.
std::string_view PostScriptTypeIdentifier(const std::string& file);

// YES when the file is PostScript or EPS: by its type, or else by an
// extension of exactly "ps", "PS", "eps" or "EPS". Safe on any thread; does
// not require the file to exist.
bool IsPostScriptFile(const std::string& file);
