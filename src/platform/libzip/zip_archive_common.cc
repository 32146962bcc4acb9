// The members of ZipArchive that only talk to libzip, and the helpers both back ends share.
#include "platform/libzip/zip_archive_common.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/path_strings.h"
#include "platform/zip_archive.h"

namespace plotspool::platform {
namespace {

// Large enough that the per-call overhead of libzip and the system's write vanishes, small
// enough that an entry of any size is written with the same memory.
constexpr std::size_t kChunkBytes = 256 * 1024;

class ZipFile {
 public:
  explicit ZipFile(zip_file_t* file) : file_(file) {}
  ~ZipFile() {
    if (file_ != nullptr) zip_fclose(file_);
  }
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;
  zip_file_t* get() const { return file_; }

 private:
  zip_file_t* file_;
};

// Splits a member name at "/" and "\" and accepts it only when every component is a plain name.
// "\" is a separator on the machines that send archives, so "..\x" must not pass as one odd name.
bool IsPlainRelativeName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '/' && name[i] != '\\') continue;
    const std::string_view component = name.substr(start, i - start);
    if (component.empty() || component == "." || component == ".." ||
        IsReservedComponent(component)) {
      return false;
    }
    start = i + 1;
  }
  return true;
}

}  // namespace

std::vector<std::string> SplitMemberName(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!IsPathSeparator(name[i])) continue;
    parts.push_back(name.substr(start, i - start));
    start = i + 1;
  }
  parts.push_back(name.substr(start));
  return parts;
}

std::string ZipErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

int CheckEntry(zip* archive, int index, std::string& name, zip_stat_t& stat, std::string& why) {
  const auto fail = [&](std::string text) {
    why = std::move(text);
    return kPathFileAccessError;
  };
  if (archive == nullptr) {
    why = "no archive open";
    return kBadFileName;
  }
  const char* stored =
      index < 0 ? nullptr : zip_get_name(archive, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
  name = stored == nullptr ? std::string() : std::string(stored);
  if (name.empty()) return fail("no entry " + std::to_string(index));
  if (name.ends_with('/')) return fail("entry is a folder: " + name);
  if (!IsPlainRelativeName(name)) return fail("unsafe member name: " + name);
  zip_stat_init(&stat);
  if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0) {
    return fail(std::string("damaged archive: ") + zip_strerror(archive));
  }
  constexpr zip_uint64_t kNeeded =
      ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  if ((stat.valid & kNeeded) != kNeeded) return fail("incomplete entry");
  if (stat.encryption_method != ZIP_EM_NONE) return fail("encrypted entry: " + name);
  if (!zip_compression_method_supported(stat.comp_method, 0)) {
    return fail("unsupported compression method " + std::to_string(stat.comp_method));
  }
  return 0;
}

zip* OpenArchiveSource(zip_source_t* source, std::string& why) {
  zip_error_t error;
  zip_error_init(&error);
  zip* archive = zip_open_from_source(source, ZIP_CHECKCONS | ZIP_RDONLY, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    why = "damaged archive: " + ZipErrorText(zip_error_code_zip(&error));
  }
  zip_error_fini(&error);
  return archive;
}

int StreamEntry(zip* archive, int index, zip_uint64_t size, const std::string& target,
                const std::function<int(std::string_view)>& write, std::string& why) {
  const auto fail = [&](int number, std::string text) {
    why = std::move(text);
    return number;
  };
  ZipFile in(zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0));
  if (in.get() == nullptr) {
    return fail(kDeviceIoError, std::string("damaged entry: ") + zip_strerror(archive));
  }
  std::vector<char> chunk(kChunkBytes);
  zip_uint64_t written = 0;
  for (;;) {
    const zip_int64_t n = zip_fread(in.get(), chunk.data(), chunk.size());
    if (n < 0) {
      return fail(kDeviceIoError,
                  std::string("damaged entry data: ") + zip_file_strerror(in.get()));
    }
    if (n == 0) break;
    // A stream that inflates past its declared size is stopped here, not at the end of the disk.
    if (static_cast<zip_uint64_t>(n) > size - written) {
      return fail(kDeviceIoError, "damaged entry data: exceeds its declared size");
    }
    if (const int refused = write(std::string_view(chunk.data(), static_cast<std::size_t>(n)));
        refused != 0) {
      return fail(refused, "cannot write " + target);
    }
    written += static_cast<zip_uint64_t>(n);
  }
  if (written != size) {
    return fail(kDeviceIoError, "damaged entry data: shorter than its declared size");
  }
  return 0;
}

ZipArchive::~ZipArchive() {
  if (archive_ != nullptr) zip_discard(archive_);
}

void ZipArchive::DiscardArchive() {
  if (archive_ != nullptr) {
    zip_discard(archive_);
    archive_ = nullptr;
  }
  error_text_.clear();
}

int ZipArchive::Fail(int number, std::string text) {
  error_text_ = std::move(text);
  return number;
}

std::string ZipArchive::EntryName(int index) {
  if (archive_ == nullptr || index < 0) return {};
  const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
  return name == nullptr ? std::string() : std::string(name);
}

std::int64_t ZipArchive::EntrySize(int index) {
  if (archive_ == nullptr || index < 0) return -1;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &stat) != 0) return -1;
  if ((stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > INT64_MAX) return -1;
  return static_cast<std::int64_t>(stat.size);
}

int ZipArchive::OpenInMemory(std::string bytes) {
  DiscardArchive();
  if (bytes.empty()) return Fail(kPathFileAccessError, "empty file");
  memory_ = std::move(bytes);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(memory_.data(), memory_.size(), 0, &error);
  zip_error_fini(&error);
  if (source == nullptr) return Fail(kOutOfMemory, "cannot read the archive");
  archive_ = OpenArchiveSource(source, error_text_);
  return archive_ == nullptr ? kPathFileAccessError : 0;
}

int ZipArchive::ReadEntry(int index, std::uint64_t limit, std::string& data) {
  error_text_.clear();
  data.clear();
  std::string name;
  zip_stat_t stat;
  if (const int refused = CheckEntry(archive_, index, name, stat, error_text_); refused != 0) {
    return refused;
  }
  if (stat.size > limit) {
    return Fail(kOutOfMemory, "entry of " + std::to_string(stat.size) + " bytes, more than " +
                                  std::to_string(limit) + " are read into memory");
  }
  ZipFile in(zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0));
  if (in.get() == nullptr) {
    return Fail(kDeviceIoError, std::string("damaged entry: ") + zip_strerror(archive_));
  }
  // One byte more than declared tells an entry that inflates past its size.
  data.resize(static_cast<std::size_t>(stat.size) + 1);
  std::size_t filled = 0;
  for (;;) {
    const zip_int64_t n = zip_fread(in.get(), data.data() + filled, data.size() - filled);
    if (n < 0) {
      return Fail(kDeviceIoError,
                  std::string("damaged entry data: ") + zip_file_strerror(in.get()));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    if (filled > stat.size) {
      return Fail(kDeviceIoError, "damaged entry data: exceeds its declared size");
    }
  }
  if (filled != stat.size) {
    return Fail(kDeviceIoError, "damaged entry data: shorter than its declared size");
  }
  data.resize(filled);
  return 0;
}

int ZipArchive::Close() {
  if (archive_ == nullptr) return Fail(kBadFileName, "no archive open");
  error_text_.clear();
  zip* archive = std::exchange(archive_, nullptr);
  if (zip_close(archive) != 0) {
    Fail(kPathFileAccessError, zip_strerror(archive));
    zip_discard(archive);
    return kPathFileAccessError;
  }
  return 0;
}

}  // namespace plotspool::platform
