#include "platform/temporary_ledger.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "base/error.h"
#include "base/path_strings.h"
#include "platform/temporary_files.h"
#include "platform/temporary_names.h"

namespace plotspool::platform {
namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool IsTempFileName(std::string_view name) {
  if (name.starts_with("~VB")) name.remove_prefix(3);
  if (name.size() != 8 || !name.ends_with(".tmp")) return false;
  return std::all_of(name.begin(), name.begin() + 4, IsUpperHex);
}

std::map<std::string, OwnedHandle>& HeldTempNames() {
  static std::map<std::string, OwnedHandle> held;
  return held;
}

void TemporaryLedger::Open(const std::string& path) {
  file_.reset();
  listed_.clear();
  path_ = path;
  if (path.empty()) return;
  const std::string text = ReadLedgerFile(path, kMaxBytes);
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line = text.substr(start, end - start);
    const char sign = line.empty() ? ' ' : line.front();
    if (sign == '+' || sign == '-') line.erase(0, 1);
    if (!IsFullPath(line) || !IsTempFileName(BaseName(line))) continue;
    if (sign == '-') {
      listed_.erase(line);
    } else {
      listed_.insert(line);
    }
  }
  for (const auto& [name, handle] : HeldTempNames()) listed_.insert(name);
  Rewrite();
}

void TemporaryLedger::Add(const std::string& path) {
  if (file_ && listed_.insert(path).second) Append("+" + path);
}

void TemporaryLedger::Drop(const std::string& path) {
  if (listed_.erase(path) > 0) Append("-" + path);
}

std::vector<std::string> TemporaryLedger::LeftIn(const std::string& dir) const {
  std::vector<std::string> left;
  for (const std::string& path : listed_) {
    if (LiesInFolder(path, dir) && !HeldTempNames().contains(path)) left.push_back(path);
  }
  return left;
}

void TemporaryLedger::Append(const std::string& line) {
  if (!file_) return;
  if (!AppendToLedgerFile(file_, line + "\n")) return;
  if (++appended_ > kRewriteAfterLines) Rewrite();
}

void TemporaryLedger::Rewrite() {
  file_.reset();
  appended_ = 0;
  std::string text;
  for (const std::string& path : listed_) text += "+" + path + "\n";
  // On failure the old list stays; only its growth is not cut back.
  if (!ReplaceLedgerFile(path_, text)) return;
  file_ = OpenLedgerForAppending(path_);
}

TemporaryLedger& Ledger() {
  static TemporaryLedger ledger;
  return ledger;
}

std::string CreateTempFileNameFrom(const std::string& stem) {
  // A random start keeps two processes from walking the same sequence of names.
  std::random_device random;
  const unsigned start = random() & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", (start + i) & 0xFFFF);
    std::string path = stem + hex + ".tmp";
    // Listed before it exists: a run killed right after the create still names it as its own.
    const bool newly_listed = !HeldTempNames().contains(path);
    if (newly_listed) Ledger().Add(path);
    OwnedHandle made;
    TempNameAttempt attempt = TempNameAttempt::kTaken;
    try {
      attempt = CreateTempNameFile(path, made);
    } catch (const RuntimeError&) {
      if (newly_listed) Ledger().Drop(path);
      throw;
    }
    switch (attempt) {
      case TempNameAttempt::kMade:
        HeldTempNames()[path] = std::move(made);
        return path;
      case TempNameAttempt::kSwept:
        break;
      case TempNameAttempt::kCompanion:
        Ledger().Drop(path);
        break;
      case TempNameAttempt::kTaken:
        // Someone else's name: not ours to list.
        if (newly_listed) Ledger().Drop(path);
        break;
    }
  }
  throw RuntimeError(kFileAlreadyExists);
}

void ForgetTemporaryName(const std::string& path) {
  HeldTempNames().erase(path);
  Ledger().Drop(path);
}

void SetTemporaryLedger(const std::string& ledger) { Ledger().Open(ledger); }

}  // namespace plotspool::platform
