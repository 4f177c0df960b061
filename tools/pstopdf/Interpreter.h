#pragma once

// Ghostscript, loaded from its library at run time and run on one job with
// the pdfwrite device.

#include <ghostscript/iapi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct Interpreter {
  decltype(&gsapi_new_instance) newInstance = nullptr;
  decltype(&gsapi_set_stdio) setStdio = nullptr;
  decltype(&gsapi_set_arg_encoding) setArgEncoding = nullptr;
  decltype(&gsapi_init_with_args) initWithArgs = nullptr;
  decltype(&gsapi_run_file) runFile = nullptr;
  decltype(&gsapi_run_string) runString = nullptr;
  decltype(&gsapi_set_param) setParam = nullptr;
  decltype(&gsapi_exit) exit = nullptr;
  decltype(&gsapi_delete_instance) deleteInstance = nullptr;
};

// Loads the library; says why on standard error when it cannot. bindAll
// resolves every function it calls at once, for a process whose copies would
// otherwise each resolve them again.
std::optional<Interpreter> LoadInterpreter(bool bindAll = false);

// The interpreter's switches for a job: SAFER, the pdfwrite device writing
// output, the fixed page of EPS files, then extraSwitches.
std::vector<std::string> InterpreterSwitches(const std::string& output, bool eps,
                                             const std::vector<std::string>& extraSwitches);

// A new instance started with switches and no document yet, ready to run
// one; null when it cannot start (the interpreter said why).
void* StartInterpreter(const Interpreter& gs, const std::vector<std::string>& switches);

// Interprets input (a path the interpreter may read) into a PDF at output,
// in SAFER mode, with extraArguments (device settings) before the input and
// afterInput (files to run once it is done) after it.
// Everything the interpreter says goes to standard error. Answers whether it
// succeeded; when not, leaves the note WriteInterpreterNote writes.
bool RunInterpreter(const Interpreter& gs, const std::string& input,
                    const std::filesystem::path& output, bool eps,
                    const std::vector<std::string>& extraArguments = {},
                    const std::vector<std::string>& afterInput = {});

// Notes the end-of-page procedure the interpreter starts with, before any
// document runs, for FinishWithoutEnding.
void NoteStartingEndPage(const Interpreter& gs, void* instance);

// Completes the PDF of a job that succeeded by closing its device alone,
// flushing what the job printed, so that the process can end at once: the
// interpreter's own ending first collects all of its memory, milliseconds
// that a process about to end need not spend. Answers false when the PDF
// still needs that ending: the document set an end-of-page procedure of its
// own, which may add a page as the device is let go, or the device would not
// close this way.
bool FinishWithoutEnding(const Interpreter& gs, void* instance);

// The file, in the job's working folder (its private folder), where a failed
// job notes why, as a FailureReport: an interpreter error with its "Error: "
// line, or a refused standard with the interpreter's sentence. Written by
// the job, so as hostile as the job.
inline constexpr char kInterpreterNote[] = "interpreter-note";
void WriteInterpreterNote();
