#include "platform/temporary_files.h"

#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/path_strings.h"
#include "platform/temporary_ledger.h"
#include "platform/win32/temporary_lock.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

constexpr std::string_view kFolderPrefix = ".plotspool-job-";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }
bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The folder of `path` without its trailing separators, spelled for comparison: upper case, "\"
// for "/", as the file system compares names.
std::string FolderKey(std::string folder) {
  while (folder.size() > 1 && IsSeparator(folder.back())) folder.pop_back();
  for (char& c : folder) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folder;
}

// What the process's access token says about `kind` (TokenUser, TokenOwner); empty when it
// cannot be read.
std::vector<char> TokenInformation(TOKEN_INFORMATION_CLASS kind) {
  HANDLE token_handle = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) return {};
  const UniqueHandle token(token_handle);
  DWORD size = 0;
  GetTokenInformation(token.get(), kind, nullptr, 0, &size);
  std::vector<char> information(size);
  if (size == 0 || !GetTokenInformation(token.get(), kind, information.data(), size, &size)) {
    return {};
  }
  return information;
}

// True when the folder open as `folder` (with READ_CONTROL) belongs to this process's user and
// lets nobody else in: only this user and the system itself are granted anything. PrivateFolder
// makes its folders so; a lookalike of another program's is not.
bool IsOwnerOnly(HANDLE folder) {
  const std::vector<char> user = TokenInformation(TokenUser);
  const std::vector<char> owner_default = TokenInformation(TokenOwner);
  if (user.empty() || owner_default.empty()) return false;
  const PSID user_sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
  const PSID default_owner = reinterpret_cast<const TOKEN_OWNER*>(owner_default.data())->Owner;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, decltype(&LocalFree)> held(descriptor, LocalFree);
  // No list at all lets everyone in.
  if (owner == nullptr || dacl == nullptr) return false;
  if (!EqualSid(owner, user_sid) && !EqualSid(owner, default_owner)) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const PSID granted = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
    if (!EqualSid(granted, user_sid) && !IsWellKnownSid(granted, WinLocalSystemSid)) return false;
  }
  return true;
}

// Opens an entry for a sweep: with DELETE access and without FILE_SHARE_DELETE, never through a
// link. Fails with a sharing violation while a live process holds it without FILE_SHARE_DELETE.
UniqueHandle OpenForSweep(const std::string& path, bool folder) {
  return UniqueHandle(CreateFileA(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES | (folder ? 0 : GENERIC_READ),
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0), nullptr));
}

// Opens the folder `path` as the in-use mark: without FILE_SHARE_DELETE, so that no sweep (which
// asks for DELETE) can take it, and without DELETE access of its own, so that its contents can
// still be listed by name. Never through a link.
UniqueHandle HoldFolder(const std::string& path, DWORD extra_access = 0) {
  return UniqueHandle(
      CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extra_access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// What `handle` is: a plain file (not a folder, not a link) of `size` bytes, or a plain folder.
enum class Kind { kOther, kFile, kFolder };
Kind KindOf(HANDLE handle, std::uint64_t* size = nullptr) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return Kind::kOther;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Kind::kOther;
  if (size != nullptr) *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kFile;
}

// True when the file `file` (open with read access) has been marked for deletion: a sweep took
// its name between its creation and our lock.
bool DeletePending(HANDLE file) {
  FILE_STANDARD_INFO info{};
  return GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) &&
         info.DeletePending;
}

}  // namespace

// A drive letter with its separator, or a network path.
bool IsFullPath(std::string_view path) {
  return (path.size() > 2 && path[1] == ':' && IsSeparator(path[2])) ||
         (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]));
}

bool LiesInFolder(const std::string& path, const std::string& dir) {
  const std::size_t cut = path.find_last_of("/\\");
  return FolderKey(cut == std::string::npos ? std::string() : path.substr(0, cut)) ==
         FolderKey(dir);
}

std::string ReadLedgerFile(const std::string& path, std::size_t limit) {
  std::string text;
  const UniqueHandle in(CreateFileA(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  char buffer[4096];
  DWORD n = 0;
  while (in.valid() && ReadFile(in.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    text.append(buffer, n);
    if (text.size() > limit) break;  // not ours to read on
  }
  return text;
}

bool ReplaceLedgerFile(const std::string& path, const std::string& text) {
  try {
    HiddenTemporary replacement(DirectoryPart(path), BaseName(path));
    if (!replacement.Write(text.data(), text.size())) return false;
    replacement.Commit(path, /*replace=*/true);
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

OwnedHandle OpenLedgerForAppending(const std::string& path) {
  return OwnHandle(UniqueHandle(CreateFileA(
      path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
}

bool AppendToLedgerFile(const OwnedHandle& file, const std::string& text) {
  DWORD written = 0;
  return WriteFile(HandleOf(file), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) != 0;
}

TempNameAttempt CreateTempNameFile(const std::string& path, OwnedHandle& made) {
  // Read access only, which the lock needs, and every share: whoever opens the name (RemoveFile
  // above all) need only let others read. The lock keeps other sweeps off it.
  UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return TempNameAttempt::kTaken;
    throw ErrorFromWin32(error);
  }
  // A sweep that holds the lock is removing the new file: make another. Where no lock can be
  // taken at all, the file still counts as held (no sweep can take it either).
  if (!LockInUse(file.get()) && GetLastError() == ERROR_LOCK_VIOLATION) {
    return TempNameAttempt::kSwept;
  }
  if (DeletePending(file.get())) return TempNameAttempt::kSwept;
  // A companion of the name may belong to someone else: never write over it.
  if (std::any_of(std::begin(kTempNameCompanions), std::end(kTempNameCompanions),
                  [&](const char* extension) {
                    return GetFileAttributesA((path + extension).c_str()) !=
                           INVALID_FILE_ATTRIBUTES;
                  })) {
    file.Reset();
    DeleteFileA(path.c_str());
    return TempNameAttempt::kCompanion;
  }
  made = OwnHandle(std::move(file));
  return TempNameAttempt::kMade;
}

std::string CreateTempFileName(const std::string& dir, const std::string& prefix) {
  std::string base = dir;
  if (base.empty() || !IsSeparator(base.back())) base += '\\';
  return CreateTempFileNameFrom(base + prefix);
}

namespace {

// Removes everything inside the folder `path` (ending in a separator) without following a link:
// a link or junction is removed as an entry, a sub-folder is emptied first. False when
// something stayed.
bool EmptyFolder(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool emptied = true;
  do {
    const std::string_view name = entry.cFileName;
    if (name == "." || name == "..") continue;
    const std::string child = path + entry.cFileName;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesA(child.c_str(), entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool removed = false;
    if (folder && !link) {
      removed = EmptyFolder(child + "\\") && RemoveDirectoryA(child.c_str());
    } else if (folder) {
      removed = RemoveDirectoryA(child.c_str()) != 0;  // the junction, not what it points to
    } else {
      removed = DeleteFileA(child.c_str()) != 0;
    }
    emptied = removed && emptied;
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  return emptied;
}

// Removes the hidden temporary `path` when it is a stale one of ours: a plain file nobody holds.
// A file a save moved aside (AsideName) is the job itself when the crash came before its new
// version took the name: while the name is free, it is put back instead.
bool RemoveIfStaleHidden(const std::string& path) {
  const UniqueHandle file = OpenForSweep(path, /*folder=*/false);
  if (!file.valid() || KindOf(file.get()) != Kind::kFile || !LockInUse(file.get())) return false;
  if (const std::string target = AsideTarget(BaseName(path)); !target.empty()) {
    try {
      RenameOpenFile(file.get(), DirectoryPart(path) + target, /*replace=*/false);
      return true;
    } catch (const RuntimeError& e) {
      // Only a name taken by the new version makes this one the old version, to be removed.
      if (e.number() != kFileAlreadyExists) return false;
    }
  }
  return MarkForDeletion(file.get());
}

// Removes the PrivateFolder `name` in `dir` (ending in a separator) with everything in it when
// it is one of ours that no live process holds.
bool RemoveIfStalePrivateFolder(const std::string& dir, const std::string& name) {
  const std::string_view rest = std::string_view(name).substr(
      name.starts_with(kFolderPrefix) ? kFolderPrefix.size() : name.size());
  if (rest.size() != 8 || !std::all_of(rest.begin(), rest.end(), IsUpperHex)) return false;
  const std::string path = dir + name;
  // Held by a live process: refused as a sharing violation.
  if (!OpenForSweep(path, /*folder=*/true).valid()) return false;
  // Then held as its owner holds it, so that nobody can rename or remove it (nor put a link in
  // its place) while it is checked and emptied, and the listing of its contents still works.
  UniqueHandle folder = HoldFolder(path, READ_CONTROL);
  if (!folder.valid() || KindOf(folder.get()) != Kind::kFolder || !IsOwnerOnly(folder.get()) ||
      !EmptyFolder(path + "\\")) {
    return false;
  }
  folder.Reset();
  return RemoveDirectoryA(path.c_str()) != 0;
}

// Removes the ledger's `path` with its companions when it is still what this service made: a
// plain file, never written to, that no live process holds. Returns how many entries went.
int RemoveIfStaleListed(const std::string& path) {
  const UniqueHandle file = OpenForSweep(path, /*folder=*/false);
  std::uint64_t size = 0;
  if (!file.valid() || KindOf(file.get(), &size) != Kind::kFile || size != 0 ||
      !LockInUse(file.get())) {
    return 0;
  }
  // Companions first, while the held name still keeps every other process off them.
  int removed = 0;
  for (const char* extension : kTempNameCompanions) {
    const UniqueHandle companion = OpenForSweep(path + extension, /*folder=*/false);
    if (companion.valid() && KindOf(companion.get()) == Kind::kFile &&
        MarkForDeletion(companion.get())) {
      ++removed;
    }
  }
  return removed + (MarkForDeletion(file.get()) ? 1 : 0);
}

}  // namespace

int RemoveStaleTemporaries(const std::string& dir) {
  if (dir.empty()) return 0;
  const std::string base = IsSeparator(dir.back()) ? dir : dir + "\\";
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((base + kOwnTemporaryPrefix + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (std::string_view(entry.cFileName).starts_with(kOwnTemporaryPrefix)) {
        names.emplace_back(entry.cFileName);
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  int removed = 0;
  for (const std::string& name : names) {
    removed += RemoveIfStaleHidden(base + name) || RemoveIfStalePrivateFolder(base, name) ? 1 : 0;
  }
  for (const std::string& path : Ledger().LeftIn(dir)) {
    removed += RemoveIfStaleListed(path);
    // Whether removed or not (gone, rewritten, someone else's now), the entry has done its work.
    Ledger().Drop(path);
  }
  return removed;
}

bool RemoveStaleTemporary(const std::string& path) {
  if (!BaseName(path).starts_with(kOwnTemporaryPrefix)) return false;
  return RemoveIfStaleHidden(path);
}

namespace {

// A security descriptor that lets only this process's user into a folder and what it holds.
class OwnerOnly {
 public:
  OwnerOnly() {
    const std::vector<char> user = TokenInformation(TokenUser);
    char* sid = nullptr;
    if (user.empty() ||
        !ConvertSidToStringSidA(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &sid)) {
      return;
    }
    // Protected, so nothing of the parent's is inherited; OICI passes it on to the contents.
    const std::string text = std::string("D:P(A;OICI;FA;;;") + sid + ")";
    LocalFree(sid);
    ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                         &descriptor_, nullptr);
  }
  ~OwnerOnly() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  // Null (the default access) when the descriptor could not be made.
  SECURITY_ATTRIBUTES* attributes() {
    if (descriptor_ == nullptr) return nullptr;
    attributes_ = {sizeof attributes_, descriptor_, FALSE};
    return &attributes_;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

PrivateFolder::PrivateFolder(const std::string& dir) {
  std::string base = dir;
  if (base.empty() || !IsSeparator(base.back())) base += '\\';
  const char separator = base.back();
  const DWORD attributes = GetFileAttributesA(base.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw ErrorFromLastError("folder " + base);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) throw ErrorFromWin32(ERROR_DIRECTORY);
  OwnerOnly security;
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%08X", kFolderPrefix.data(),
                  static_cast<unsigned>(random()));
    const std::string path = base + name;
    if (!CreateDirectoryA(path.c_str(), security.attributes())) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
      throw ErrorFromLastError("CreateDirectory " + path);
    }
    UniqueHandle folder = HoldFolder(path);
    // A sweep may have taken the empty folder before the hold: make another.
    if (!folder.valid() || KindOf(folder.get()) != Kind::kFolder) continue;
    path_ = path + separator;
    folder_ = OwnHandle(std::move(folder));
    return;
  }
  throw RuntimeError(kFileAlreadyExists);
}

PrivateFolder::~PrivateFolder() {
  if (!folder_) return;
  // Emptied while still held, so no sweep can take it half-emptied; then let go and removed.
  EmptyFolder(path_);
  folder_.reset();
  RemoveDirectoryA(path_.c_str());
}

}  // namespace plotspool::platform
