#pragma once

#include <optional>
#include <string>

// A rectangle in PostScript points: lower left, upper right.
struct PageBox {
  double llx = 0, lly = 0, urx = 0, ury = 0;
};

// What a PostScript file's header comments say about the document.
struct DocumentComments {
  // %%CreationDate as a PDF date ("D:YYYYMMDDHHmmSS", with its time zone
  // when the comment names one), when it is a date this understands. The
  // interpreter dates the document by the clock otherwise.
  std::optional<std::string> creationDate;
  // %%Title, %%Creator and %%For (the author) as written (their bytes,
  // without a surrounding pair of parentheses).
  std::optional<std::string> title;
  std::optional<std::string> creator;
  std::optional<std::string> author;
  // The interpreter would take another title: a later %%Title says
  // otherwise (a print queue puts the job's title before the document's
  // own), and it takes the last; or the title is written as a string, whose
  // parentheses it keeps.
  bool titleMistaken = false;
  // The same for the author.
  bool authorMistaken = false;
  // An EPS file's page: its %%BoundingBox, from the header or, when that
  // says (atend), the trailer, refined by a %%HiResBoundingBox that agrees
  // with it to within a point. Nothing when neither gives a box with area.
  std::optional<PageBox> boundingBox;
};

// Reads the header comments of the file open at inputFd, from its start
// (for an EPS file with a binary header, from its PostScript section), and
// its trailer for comments deferred there, without moving its offset.
DocumentComments ReadDocumentComments(int inputFd);

// The PDF date for the text of one %%CreationDate comment, or nothing: PDF
// dates, ctime's and date(1)'s forms, ISO 8601 and the usual English ones
// ("6 December 2026", "December 6, 2026 12:02").
std::optional<std::string> PdfDateFromComment(const std::string& text);
