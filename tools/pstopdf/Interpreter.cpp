#include "Interpreter.h"

#include <ghostscript/gserrors.h>

#include "conversion/ConversionFailure.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

// What the interpreter has said that tells why a job fails: its first
// "Error: " line, and its sentence refusing a standard, which it may break
// over two lines ("...: Annotation set to non-printing,\n not permitted in
// PDF/A, ..."). Lines are looked at up to this length.
constexpr std::size_t kLongestLine = 1000;
std::string g_line;
std::string g_previousLine;
std::string g_errorLine;
std::string g_refusal;

void LookAtLine() {
  const std::string_view line = g_line;
  if (g_errorLine.empty() && line.substr(0, 7) == "Error: ") g_errorLine = g_line;
  if (g_refusal.empty() && (line.find("not permitted in PDF/A") != std::string_view::npos ||
                            line.find("not permitted in PDF/X") != std::string_view::npos)) {
    std::string text = g_previousLine + g_line;
    // The interpreter names itself first.
    const auto colon = text.find(": ");
    if (colon != std::string::npos && text.rfind("GPL", 0) == 0) text.erase(0, colon + 2);
    for (const char c : text) {
      if (c == ' ' && !g_refusal.empty() && g_refusal.back() == ' ') continue;
      g_refusal += c == '\r' ? ' ' : c;
    }
  }
  g_previousLine = std::move(g_line);
  g_line.clear();
}

int ForwardOutput(void*, const char* str, int len) {
  // Everything the interpreter says goes to standard error, where people
  // can read it; what tells why the job fails is kept for the note.
  if (len > 0) {
    const ssize_t ignored = write(STDERR_FILENO, str, static_cast<size_t>(len));
    (void)ignored;
    for (const char c : std::string_view(str, static_cast<std::size_t>(len))) {
      if (c == '\n') LookAtLine();
      else if (g_line.size() < kLongestLine) g_line += c;
    }
  }
  return len;
}

int NoInput(void*, char*, int) { return 0; }

}  // namespace

std::optional<Interpreter> LoadInterpreter(bool bindAll) {
  void* library = dlopen(QUILLPRESS_GHOSTSCRIPT_SONAME, (bindAll ? RTLD_NOW : RTLD_LAZY) | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "pstopdf: cannot load the interpreter: %s\n", dlerror());
    return std::nullopt;
  }
  Interpreter gs;
  bool complete = true;
  auto bind = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
    complete = complete && function != nullptr;
  };
  bind(gs.newInstance, "gsapi_new_instance");
  bind(gs.setStdio, "gsapi_set_stdio");
  bind(gs.setArgEncoding, "gsapi_set_arg_encoding");
  bind(gs.initWithArgs, "gsapi_init_with_args");
  bind(gs.runFile, "gsapi_run_file");
  bind(gs.runString, "gsapi_run_string");
  bind(gs.setParam, "gsapi_set_param");
  bind(gs.exit, "gsapi_exit");
  bind(gs.deleteInstance, "gsapi_delete_instance");
  if (!complete) {
    std::fputs("pstopdf: the interpreter library lacks its API\n", stderr);
    return std::nullopt;
  }
  return gs;
}

std::vector<std::string> InterpreterSwitches(const std::string& output, bool eps,
                                             const std::vector<std::string>& extraSwitches) {
  std::vector<std::string> switches = {
      "-q", QUILLPRESS_PSTOPDF_SAFER, "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
      "-sDEVICE=pdfwrite", "-dAutoRotatePages=/None", "-sOutputFile=" + output};
  // The page of an EPS file is set to its bounding box before it runs (the
  // preset's setup), and stays so whatever size the file asks for.
  if (eps) switches.emplace_back("-dFIXEDMEDIA");
  switches.insert(switches.end(), extraSwitches.begin(), extraSwitches.end());
  return switches;
}

namespace {

// Where the end-of-page procedure the interpreter starts with is kept. A job
// may change it, as it may anything in its interpreter; it then changes only
// how its own PDF ends.
constexpr char kStartingEndPage[] = "QuillpressStartingEndPage";

std::string NoteStartingEndPageCode() {
  return std::string("/") + kStartingEndPage + " currentpagedevice /EndPage get def";
}

// The instance started with arguments; null when it cannot start.
void* StartWith(const Interpreter& gs, std::vector<std::string> argStrings, int& code) {
  argStrings.insert(argStrings.begin(), "pstopdf");
  std::vector<char*> gsArgs;
  for (std::string& s : argStrings) gsArgs.push_back(s.data());
  void* instance = nullptr;
  code = gs_error_Fatal;
  if (gs.newInstance(&instance, nullptr) < 0) return nullptr;
  gs.setStdio(instance, NoInput, ForwardOutput, ForwardOutput);
  gs.setArgEncoding(instance, GS_ARG_ENCODING_UTF8);
  code = gs.initWithArgs(instance, static_cast<int>(gsArgs.size()), gsArgs.data());
  return instance;
}

}  // namespace

void* StartInterpreter(const Interpreter& gs, const std::vector<std::string>& switches) {
  int code = 0;
  void* instance = StartWith(gs, switches, code);
  if (instance && code < 0) {
    gs.exit(instance);
    gs.deleteInstance(instance);
    return nullptr;
  }
  return instance;
}

bool RunInterpreter(const Interpreter& gs, const std::string& input,
                    const std::filesystem::path& output, bool eps,
                    const std::vector<std::string>& extraArguments,
                    const std::vector<std::string>& afterInput) {
  std::vector<std::string> argStrings = InterpreterSwitches(output.string(), eps, extraArguments);
  argStrings.insert(argStrings.end(), {"-c", NoteStartingEndPageCode(), "-f", input});
  argStrings.insert(argStrings.end(), afterInput.begin(), afterInput.end());
  int code = 0;
  void* instance = StartWith(gs, argStrings, code);
  if (!instance) return false;
  if ((code == 0 || code == gs_error_Quit) && FinishWithoutEnding(gs, instance)) return true;
  const int exitCode = gs.exit(instance);
  if (code == 0 || code == gs_error_Quit) code = exitCode;
  gs.deleteInstance(instance);
  const bool ok = code == 0 || code == gs_error_Quit;
  if (!ok) WriteInterpreterNote();
  return ok;
}

void NoteStartingEndPage(const Interpreter& gs, void* instance) {
  int exitCode = 0;
  gs.runString(instance, NoteStartingEndPageCode().c_str(), 0, &exitCode);
}

bool FinishWithoutEnding(const Interpreter& gs, void* instance) {
  // "stop" answers an error, and says nothing, when the procedure is not
  // the one noted at the start.
  const std::string finish = std::string("currentpagedevice /EndPage get /") + kStartingEndPage +
                             " load ne { stop } if flush (%stderr) (w) file flushfile";
  int exitCode = 0;
  if (gs.runString(instance, finish.c_str(), 0, &exitCode) < 0) return false;
  // A new output file closes the device, which writes the PDF's end; the
  // device opened on the null device in its place writes nothing.
  return gs.setParam(instance, "OutputFile", "/dev/null", gs_spt_string) >= 0;
}

void WriteInterpreterNote() {
  if (!g_line.empty()) LookAtLine();
  ConversionFailure failure;
  if (!g_refusal.empty()) failure = {ConversionFailureKind::StandardNotMet, {}, g_refusal, {}, {}};
  else failure = {ConversionFailureKind::InterpreterError, {}, g_errorLine, {}, {}};
  const std::string note = FailureReport(failure);
  const int fd = open(kInterpreterNote, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t ignored = write(fd, note.data(), note.size());
  (void)ignored;
  close(fd);
}
