#pragma once

#include <optional>
#include <string>

// What a PostScript file's header comments say about the document.
struct DocumentComments {
  // %%CreationDate as a PDF date ("D:YYYYMMDDHHmmSS", with its time zone
  // when the comment names one), when it is a date this understands. The
  // interpreter dates the document by the clock otherwise.
  std::optional<std::string> creationDate;
  // %%Title and %%Creator as written (their bytes, without a surrounding
  // pair of parentheses).
  std::optional<std::string> title;
  std::optional<std::string> creator;
  // The interpreter would take another title: a later %%Title says
  // otherwise (a print queue puts the job's title before the document's
  // own), and it takes the last; or the title is written as a string, whose
  // parentheses it keeps.
  bool titleMistaken = false;
};

// Reads the header comments of the file open at inputFd, from its start,
// without moving its offset.
DocumentComments ReadDocumentComments(int inputFd);

// The PDF date for the text of one %%CreationDate comment, or nothing.
std::optional<std::string> PdfDateFromComment(const std::string& text);
