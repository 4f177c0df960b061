#include "Interpreter.h"

#include <ghostscript/gserrors.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <type_traits>

namespace {

int ForwardOutput(void*, const char* str, int len) {
  // Everything the interpreter says goes to standard error, where a caller
  // can read why a job failed.
  if (len > 0) {
    const ssize_t ignored = write(STDERR_FILENO, str, static_cast<size_t>(len));
    (void)ignored;
  }
  return len;
}

int NoInput(void*, char*, int) { return 0; }

}  // namespace

std::optional<Interpreter> LoadInterpreter() {
  void* library = dlopen(QUILLPRESS_GHOSTSCRIPT_SONAME, RTLD_LAZY | RTLD_LOCAL);
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
  argStrings.emplace_back("-f");
  argStrings.push_back(input);
  argStrings.insert(argStrings.end(), afterInput.begin(), afterInput.end());
  int code = 0;
  void* instance = StartWith(gs, argStrings, code);
  if (!instance) return false;
  const int exitCode = gs.exit(instance);
  if (code == 0 || code == gs_error_Quit) code = exitCode;
  gs.deleteInstance(instance);
  return code == 0 || code == gs_error_Quit;
}
