#pragma once

#include <optional>
#include <string>

// The creation date that a PostScript file's header comments give
// (%%CreationDate), as a PDF date ("D:YYYYMMDDHHmmSS", with its time zone
// when the comment names one), or nothing when there is none or it is not a
// date this understands. The interpreter takes the title and creator from
// the comments itself, but dates the document by the clock.
// Reads the file open at inputFd from its start, without moving its offset.
std::optional<std::string> DocumentCreationDate(int inputFd);

// The same for the text of one %%CreationDate comment.
std::optional<std::string> PdfDateFromComment(const std::string& text);
