// The service under test as a Win32 child process: started with CreateProcessA, stopped with
// WM_CLOSE to its hidden window as the session does at log-off; and any program run to its end
// with its output caught.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/process.h"
#include "platform/win32/close_request_win32.h"
#include "platform/win32/unique_handle.h"
#include "test_support.h"

namespace plotspool::testing {

using platform::UniqueHandle;

struct ServiceUnderTest::Process {
  UniqueHandle handle;
};

namespace {

std::string NameOf(const std::string& entry) {
  // "=C:=C:\dir" entries carry the current directory per drive: their name starts after the "=".
  const std::size_t equals = entry.find('=', 1);
  std::string name = entry.substr(0, equals);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

// An environment block: the test's own entries with `extra` replacing those of the same name,
// sorted by name as the system keeps it.
std::string EnvironmentBlock(const std::vector<std::string>& extra) {
  std::vector<std::string> entries = extra;
  char* own = GetEnvironmentStringsA();
  for (const char* p = own; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
    const std::string entry = p;
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
      return NameOf(e) == NameOf(entry);
    });
    if (!replaced) entries.push_back(entry);
  }
  if (own != nullptr) FreeEnvironmentStringsA(own);
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return NameOf(a) < NameOf(b);
  });
  std::string block;
  for (const std::string& entry : entries) block += entry + '\0';
  block += '\0';
  return block;
}

std::string CommandLine(const std::filesystem::path& program,
                        const std::vector<std::string>& args) {
  std::string line = "\"" + program.string() + "\"";
  for (const std::string& arg : args) line += " " + platform::QuoteCommandLineArgument(arg);
  return line;
}

UniqueHandle OpenForOutput(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueHandle(CreateFileA(path.string().c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  &inheritable, CREATE_ALWAYS, 0, nullptr));
}

// Starts `line` with the given standard handles (null: none passed); the process, or none.
UniqueHandle StartProcess(std::string line, const std::vector<std::string>& environment, HANDLE out,
                          HANDLE err) {
  std::string block = EnvironmentBlock(environment);
  STARTUPINFOA info{};
  info.cb = sizeof info;
  if (out != nullptr) {
    info.dwFlags = STARTF_USESTDHANDLES;
    info.hStdOutput = out;
    info.hStdError = err;
  }
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, out != nullptr, CREATE_NO_WINDOW,
                      block.data(), nullptr, &info, &started)) {
    return UniqueHandle();
  }
  CloseHandle(started.hThread);
  return UniqueHandle(started.hProcess);
}

// The exit code once the process has ended within `timeout`; -1 otherwise.
int ExitCodeAfter(HANDLE process, std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  return static_cast<int>(code);
}

struct WindowSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  if (pid != search->pid || std::string(name) != platform::kCloseRequestWindowClass) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

bool PostCloseRequest(int pid, std::chrono::milliseconds timeout) {
  WindowSearch search{static_cast<DWORD>(pid), nullptr};
  WaitFor(
      [&] {
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      timeout);
  return search.found != nullptr && PostMessageA(search.found, WM_CLOSE, 0, 0) != 0;
}

ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& environment,
                      std::chrono::milliseconds timeout) {
  const std::filesystem::path out_path = program.parent_path() / "run-out.txt";
  const std::filesystem::path err_path = program.parent_path() / "run-err.txt";
  ProgramRun run;
  {
    const UniqueHandle out = OpenForOutput(out_path);
    const UniqueHandle err = OpenForOutput(err_path);
    if (!out.valid() || !err.valid()) return run;
    const UniqueHandle process =
        StartProcess(CommandLine(program, args), environment, out.get(), err.get());
    if (!process.valid()) return run;
    run.status = ExitCodeAfter(process.get(), timeout);
    if (run.status == -1) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), INFINITE);
    }
  }
  // Text-mode output ends its lines with CR LF; the tests compare lines as written.
  const auto lines = [](std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  run.out = lines(ReadWholeFile(out_path));
  run.err = lines(ReadWholeFile(err_path));
  // The console host Wine gives the program may hold the files a moment longer.
  WaitFor(
      [&] {
        std::error_code ignored;
        std::filesystem::remove(out_path, ignored);
        std::filesystem::remove(err_path, ignored);
        return !std::filesystem::exists(out_path) && !std::filesystem::exists(err_path);
      },
      std::chrono::seconds(5));
  return run;
}

ServiceUnderTest::ServiceUnderTest(const std::filesystem::path& dir,
                                   std::vector<std::string> environment)
    : executable_(dir / "plotspool.exe"),
      environment_(std::move(environment)),
      process_(std::make_unique<Process>()) {
  std::filesystem::copy_file(PLOTSPOOL_BINARY_DIR "/plotspool.exe", executable_,
                             std::filesystem::copy_options::overwrite_existing);
}

ServiceUnderTest::~ServiceUnderTest() {
  if (process_->handle.valid()) {
    TerminateProcess(process_->handle.get(), 1);
    WaitForSingleObject(process_->handle.get(), INFINITE);
  }
}

std::filesystem::path ServiceUnderTest::ini() const {
  return executable_.parent_path() / "plotspool.ini";
}

std::filesystem::path ServiceUnderTest::log() const {
  return executable_.parent_path() / "plotspool.log";
}

int ServiceUnderTest::Start() {
  process_->handle = StartProcess(CommandLine(executable_, {}), environment_, nullptr, nullptr);
  pid_ = process_->handle.valid() ? static_cast<int>(GetProcessId(process_->handle.get())) : -1;
  return pid_;
}

int ServiceUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
  if (!process_->handle.valid()) return -1;
  const int status = ExitCodeAfter(process_->handle.get(), timeout);
  if (status != -1) {
    process_->handle.Reset();
    pid_ = -1;
  }
  return status;
}

bool ServiceUnderTest::Running() {
  return process_->handle.valid() &&
         WaitForSingleObject(process_->handle.get(), 0) != WAIT_OBJECT_0;
}

void ServiceUnderTest::RequestStop() {
  if (Running()) PostCloseRequest(pid_, std::chrono::seconds(10));
}

}  // namespace plotspool::testing
