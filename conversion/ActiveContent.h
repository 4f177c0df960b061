#pragma once

// Active content in a PDF: what a reader runs, submits, fetches or opens
// rather than shows.

#include <string>
#include <vector>

class QPDF;

struct RemovedContent {
  int javaScript = 0;   // JavaScript actions, scripts and javascript: addresses
  int launch = 0;       // actions that start a program or open a file
  int embedded = 0;     // embedded files and file attachments
  int submission = 0;   // form data sent or fetched (SubmitForm, ImportData)
  int otherFiles = 0;   // links into other documents (GoToR, GoToE)
  int richMedia = 0;    // rich media annotations and their actions
  int xfa = 0;          // XFA forms
  int addresses = 0;    // links to addresses other than http, https and mailto

  bool any() const {
    return javaScript + launch + embedded + submission + otherFiles + richMedia + xfa + addresses > 0;
  }
  // One sentence for each kind that was removed, for people.
  std::vector<std::string> Sentences() const;
};

// Removes from pdf every action and object that runs code, submits or
// fetches data, opens other files or programs, or carries files, in every
// object of the file however deeply it is nested: JavaScript in every form,
// Launch, SubmitForm, ImportData, GoToR, GoToE, RichMedia, XFA, embedded
// files and file attachments. Links within the document, named actions and
// http, https and mailto links stay. May throw what qpdf throws.
RemovedContent RemoveActiveContent(QPDF& pdf);
