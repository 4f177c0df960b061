#pragma once

#include <filesystem>

// The name under which a dragged-out source file is promised to a folder:
// its last path component without its last extension, with ".pdf" added
// (report.ps gives report.pdf, chart.final.eps chart.final.pdf, notes
// notes.pdf). A name whose only dot is its leading one has no extension, so
// .hidden gives .hidden.pdf rather than a bare ".pdf". Bytes are kept as
// they are, but a name too long for a folder is shortened from its end
// before ".pdf". Empty when the path names no file (empty, "/", "." or "..").
std::filesystem::path PromisedFileName(const std::filesystem::path& source);
