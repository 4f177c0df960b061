#pragma once

// Active content in a PDF: what a reader runs or opens rather than shows.

#include <string>
#include <vector>

class QPDF;

struct RemovedContent {
  int javaScript = 0;  // JavaScript actions and scripts
  int launch = 0;      // actions that start a program or open a file
  int embedded = 0;    // embedded files and file attachments

  bool any() const { return javaScript + launch + embedded > 0; }
  // One sentence for each kind that was removed, for people.
  std::vector<std::string> Sentences() const;
};

// Removes every JavaScript action (and the document's scripts), every launch
// action and every embedded file from pdf, wherever it hangs: document,
// pages, annotations, outlines, forms, name trees. May throw what qpdf
// throws.
RemovedContent RemoveActiveContent(QPDF& pdf);
