#include "platform/process.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/error.h"
#include "platform/close_request.h"
#include "platform/win32/close_request_win32.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {

namespace {

struct Program {
  UniqueHandle process;
  // Holds the program and everything it starts, so that KillTree reaches them all. No
  // kill-on-close: a program still running when the service ends is left running.
  UniqueHandle job;
  DWORD pid = 0;
};

// Programs handed over while still running: their handles keep their process ids from being
// reused until they are collected.
std::vector<Program>& UnreapedChildren() {
  static std::vector<Program> children;
  return children;
}

bool Ended(const Program& program) {
  return WaitForSingleObject(program.process.get(), 0) == WAIT_OBJECT_0;
}

UniqueHandle OpenNullDevice(DWORD access) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueHandle(CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  OPEN_EXISTING, 0, nullptr));
}

// The handles a program starts with: the null device for input and output, the service's own
// standard error (the null device when it has none). Only these are passed on.
class StandardHandles {
 public:
  StandardHandles() : input_(OpenNullDevice(GENERIC_READ)), output_(OpenNullDevice(GENERIC_WRITE)) {
    const HANDLE own = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE copy = nullptr;
    if (own != nullptr && own != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
      error_.Reset(copy);
    } else {
      error_ = OpenNullDevice(GENERIC_WRITE);
    }
    if (!input_.valid() || !output_.valid() || !error_.valid()) {
      throw ErrorFromLastError("open the null device");
    }
  }

  void FillIn(STARTUPINFOA& info) const {
    info.dwFlags |= STARTF_USESTDHANDLES;
    info.hStdInput = input_.get();
    info.hStdOutput = output_.get();
    info.hStdError = error_.get();
  }
  std::vector<HANDLE> List() const { return {input_.get(), output_.get(), error_.get()}; }

 private:
  UniqueHandle input_;
  UniqueHandle output_;
  UniqueHandle error_;
};

// A thread-attribute list naming the only handles a new process inherits, so that handles
// another thread made inheritable at the same moment do not leak into a program that may outlive
// the service.
class InheritOnly {
 public:
  explicit InheritOnly(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                    handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
        list_ = list;
      } else {
        DeleteProcThreadAttributeList(list);
      }
    }
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  ~InheritOnly() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  // Null when the system offers no such list: then every inheritable handle is passed on, and
  // the back end makes none but these inheritable.
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// ERROR_ELEVATION_REQUIRED, which the cross headers lack.
constexpr DWORD kErrorElevationRequired = 740;

// The number alone, with its fixed text, as the log shows it on every system.
RuntimeError StartError(DWORD code) {
  switch (code) {
    // A file that is no program may not be run, as one without the right to run it; so is a
    // program that asks for an administrator (the service never raises its own rights).
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_EXE_MARKED_INVALID:
    case ERROR_INVALID_EXE_SIGNATURE:
    case ERROR_DIRECTORY:
    case kErrorElevationRequired:
      return RuntimeError(kPermissionDenied);
    default:
      return RuntimeError(ErrorNumberFromWin32(code));
  }
}

}  // namespace

struct ChildProcess::State : Program {};

ChildProcess::ChildProcess(const std::string& command_line) : state_(std::make_unique<State>()) {
  ReapFinishedChildren();
  const std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty() || args[0].empty()) throw RuntimeError(kInvalidProcedureCall);

  const StandardHandles standard;
  const InheritOnly inherit(standard.List());
  STARTUPINFOEXA info{};
  info.StartupInfo.cb = sizeof(STARTUPINFOA);
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
  if (inherit.get() != nullptr) {
    info.StartupInfo.cb = sizeof(STARTUPINFOEXA);
    info.lpAttributeList = inherit.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  standard.FillIn(info.StartupInfo);
  // Windows programs split their own command line: it is passed on exactly as configured.
  std::string line = command_line;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &info.StartupInfo, &started)) {
    throw StartError(GetLastError());
  }
  state_->process.Reset(started.hProcess);
  const UniqueHandle thread(started.hThread);
  state_->pid = started.dwProcessId;
  // In the job before its first instruction, so that nothing it starts escapes a kill. Where no
  // job can be had the program still runs; KillTree then reaches the program alone.
  state_->job.Reset(CreateJobObjectA(nullptr, nullptr));
  if (state_->job.valid() && !AssignProcessToJobObject(state_->job.get(), state_->process.get())) {
    state_->job.Reset();
  }
  ResumeThread(thread.get());
}

ChildProcess::~ChildProcess() {
  if (state_->process.valid() && !Ended(*state_)) {
    UnreapedChildren().push_back(std::move(static_cast<Program&>(*state_)));
  }
}

int ChildProcess::pid() const { return static_cast<int>(state_->pid); }

WaitOutcome ChildProcess::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const HANDLE handles[2] = {state_->process.get(), CloseRequestEvent()};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    // Below INFINITE, however far the deadline lies.
    const DWORD timeout = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 0x7fffffff));
    const DWORD rc = WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (rc == WAIT_FAILED) throw ErrorFromLastError("wait for program");
    if (CloseRequestPending()) return WaitOutcome::kCloseRequested;
    if (Clock::now() >= deadline) return WaitOutcome::kDeadlinePassed;
    if (Ended(*state_)) return WaitOutcome::kEnded;
  }
}

std::string ChildProcess::KillTree() {
  const std::string command = "taskkill /F /T /PID " + std::to_string(state_->pid);
  if (!state_->process.valid()) return command;
  // The job holds the program and all it started; its own handle keeps the process id from
  // going to a stranger meanwhile.
  if (!state_->job.valid() || !TerminateJobObject(state_->job.get(), 1)) {
    TerminateProcess(state_->process.get(), 1);
  }
  return command;
}

void ReapFinishedChildren() {
  auto& children = UnreapedChildren();
  children.erase(std::remove_if(children.begin(), children.end(),
                                [](const Program& child) { return Ended(child); }),
                 children.end());
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  // The search CreateProcess makes for a program without a path, ".exe" added when the name
  // has no extension.
  char found[MAX_PATH];
  const DWORD length = SearchPathA(nullptr, name.c_str(), ".exe", MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return {};
  const DWORD attributes = GetFileAttributesA(found);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return {};
  }
  return found;
}

}  // namespace plotspool::platform
