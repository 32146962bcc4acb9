#include "imaging/tiff_file.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>

#include "base/error.h"

namespace plotspool {
namespace {

// libtiff's own allocations (strip tables, compressed buffers) stay below this; the pixel
// buffers are ours and checked against the decoded-size limit instead.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t{1} << 30;

void SilenceGlobalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

}  // namespace

struct TiffFile::State {
  std::optional<platform::RawFile> own;  // empty for a reader on another handle's file
  platform::RawFile* file;               // &own, or the other handle's file

  uint64_t position = 0;
  std::string last_error;
  int write_error = 0;  // the error number of the last failed write: a full disk is not damage
  std::string damage;
  bool ifd_loop = false;
};

namespace {

using State = TiffFile::State;

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t size) {
  auto* state = static_cast<State*>(handle);
  if (size < 0) return -1;
  try {
    const size_t n = state->file->ReadAt(
        state->position, {static_cast<uint8_t*>(buffer), static_cast<size_t>(size)});
    state->position += n;
    return static_cast<tmsize_t>(n);
  } catch (const RuntimeError& e) {
    state->last_error = e.description();
    if (state->damage.empty()) state->damage = e.description();
    return -1;
  }
}

tmsize_t WriteProc(thandle_t handle, void* buffer, tmsize_t size) {
  auto* state = static_cast<State*>(handle);
  if (size < 0) return -1;
  try {
    state->file->WriteAt(state->position,
                         {static_cast<const uint8_t*>(buffer), static_cast<size_t>(size)});
    state->position += static_cast<uint64_t>(size);
    return size;
  } catch (const RuntimeError& e) {
    state->last_error = e.description();
    state->write_error = e.number();
    return -1;
  }
}

toff_t SeekProc(thandle_t handle, toff_t offset, int whence) {
  auto* state = static_cast<State*>(handle);
  uint64_t base = 0;
  if (whence == SEEK_CUR) {
    base = state->position;
  } else if (whence == SEEK_END) {
    try {
      base = state->file->Size();
    } catch (const RuntimeError&) {
      return static_cast<toff_t>(-1);
    }
  }
  // libtiff passes negative offsets as huge unsigned values; anything that wraps is refused.
  const uint64_t target = base + offset;
  if (target < base && static_cast<int64_t>(offset) >= 0) return static_cast<toff_t>(-1);
  if (static_cast<int64_t>(target) < 0) return static_cast<toff_t>(-1);
  state->position = target;
  return target;
}

int CloseProc(thandle_t) { return 0; }

toff_t SizeProc(thandle_t handle) {
  try {
    return static_cast<State*>(handle)->file->Size();
  } catch (const RuntimeError&) {
    return 0;
  }
}

int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Tags without which the pixels cannot be found or read as they were written.
constexpr std::string_view kStructuralTags[] = {
    "ImageWidth",       "ImageLength",     "BitsPerSample", "Compression",
    "Photometric",      "FillOrder",       "StripOffsets",  "SamplesPerPixel",
    "RowsPerStrip",     "StripByteCounts", "PlanarConfig",  "ColorMap",
    "TileWidth",        "TileLength",      "TileOffsets",   "TileByteCounts",
    "ExtraSamples",     "SampleFormat",    "Predictor",     "JPEGTables",
    "YCbCrSubsampling", "T4Options",       "T6Options",     "JpegInterchangeFormat",
    "JpegQTables",      "JpegDcTables",    "JpegAcTables",
};

// libtiff and the codecs below it report much as warnings that means the data is damaged: the
// fax decoder running out of lines, libjpeg's corrupt-data messages, PackBits cutting a run, a
// directory read that had to guess a value or drop a tag the pixels depend on. Warnings about
// unknown tags, unsorted directories or old but readable encodings are not damage.
bool WarningMeansDamage(std::string_view text) {
  for (std::string_view phrase :
       {"Corrupt", "corrupt", "Premature", "Line length mismatch", "Discarding",
        "Terminating PackBits", "Improper JPEG", "exceeds expected", "fractional scanline",
        "Invalid SOS", "Inconsistent progression", "Bogus", "calculating from", "assuming",
        "assumed"}) {
    if (Contains(text, phrase)) return true;
  }
  for (std::string_view repair : {"tag ignored", "tag trimmed", "Wrong data type",
                                  "Invalid data type", "entry count is", "incorrect count"}) {
    if (!Contains(text, repair)) continue;
    for (std::string_view tag : kStructuralTags) {
      if (Contains(text, tag)) return true;
    }
  }
  return false;
}

// Two reports libtiff makes through its error handler that touch no pixel: an ink count other
// than the samples per pixel (a page with extra samples, CMYK and alpha, rightly names fewer
// inks), and a private tag of a type it cannot store, which it skips (every tag the pixels
// depend on has a known type).
bool ErrorLosesNothing(std::string_view text) {
  return Contains(text, "of NumberOfInks is different") ||
         Contains(text, "TIFF_SETGET_UNDEFINED and thus tag is not read");
}

// libtiff names the file itself as the module of some messages; the job's log line names the
// file already, so only a real module name is kept.
std::string MessageText(const State& state, const char* module, const char* format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  if (module == nullptr || module == state.file->path()) return text;
  return std::string(module) + ": " + text;
}

int ErrorProc(TIFF*, void* user_data, const char* module, const char* format, va_list args) {
  auto* state = static_cast<State*>(user_data);
  state->last_error = MessageText(*state, module, format, args);
  if (!ErrorLosesNothing(state->last_error) && state->damage.empty()) {
    state->damage = state->last_error;
  }
  return 1;
}

int WarningProc(TIFF*, void* user_data, const char* module, const char* format, va_list args) {
  auto* state = static_cast<State*>(user_data);
  std::string text = MessageText(*state, module, format, args);
  if (Contains(text, "IFD looping")) state->ifd_loop = true;
  if (!state->damage.empty()) return 1;
  if (WarningMeansDamage(text)) state->damage = std::move(text);
  return 1;
}

TIFF* OpenOn(State* state, const char* mode) {
  SilenceGlobalHandlers();
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) throw RuntimeError(kInvalidPropertyValue);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options, ErrorProc, state);
  TIFFOpenOptionsSetWarningHandlerExtR(options, WarningProc, state);
  TIFF* tif = TIFFClientOpenExt(state->file->path().c_str(), mode, state, ReadProc, WriteProc,
                                SeekProc, CloseProc, SizeProc, MapProc, UnmapProc, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

}  // namespace

TiffFile::TiffFile(std::unique_ptr<State> state, TIFF* tif) : state_(std::move(state)), tif_(tif) {}

TiffFile::TiffFile(TiffFile&& other) noexcept : state_(std::move(other.state_)), tif_(other.tif_) {
  other.tif_ = nullptr;
}

TiffFile& TiffFile::operator=(TiffFile&& other) noexcept {
  if (this != &other) {
    if (tif_ != nullptr) TIFFCleanup(tif_);
    state_ = std::move(other.state_);
    tif_ = other.tif_;
    other.tif_ = nullptr;
  }
  return *this;
}

TiffFile::~TiffFile() {
  // TIFFCleanup frees without writing: an unfinished output is abandoned, never completed.
  if (tif_ != nullptr) TIFFCleanup(tif_);
}

TiffFile TiffFile::OpenForReading(const std::string& path) {
  auto state = std::make_unique<State>(
      State{platform::RawFile::OpenForReading(path), nullptr, 0, {}, 0, {}, false});
  state->file = &*state->own;
  return OpenReader(std::move(state));
}

TiffFile TiffFile::ReaderOnSameFile(TiffFile& other) {
  auto state =
      std::make_unique<State>(State{std::nullopt, other.state_->file, 0, {}, 0, {}, false});
  return OpenReader(std::move(state));
}

TiffFile TiffFile::OpenReader(std::unique_ptr<State> state) {
  // "m": no memory mapping (a file shrinking under a mapping would kill the process);
  // "O": strip and tile tables are read on demand, so a huge declared table costs nothing.
  TIFF* tif = OpenOn(state.get(), "rmO");
  if (tif == nullptr) {
    std::string why = state->last_error.empty() ? "Not a readable TIFF image" : state->last_error;
    throw RuntimeError(kInvalidPropertyValue, "Invalid property value (" + why + ")");
  }
  return TiffFile(std::move(state), tif);
}

TiffFile TiffFile::CreateBeside(const std::string& target, const platform::RawFile* like,
                                bool big_endian, bool big_tiff) {
  auto state = std::make_unique<State>(
      State{platform::RawFile::CreateBeside(target, like), nullptr, 0, {}, 0, {}, false});
  state->file = &*state->own;
  std::string flags = "w";
  flags += big_endian ? "b" : "l";
  if (big_tiff) flags += "8";
  TIFF* tif = OpenOn(state.get(), flags.c_str());
  if (tif == nullptr) {
    platform::RawFile::RemoveQuietly(state->file->path());
    if (state->write_error == kDiskFull) throw RuntimeError(kDiskFull);
    throw RuntimeError(kPathFileAccessError);
  }
  return TiffFile(std::move(state), tif);
}

platform::RawFile& TiffFile::file() { return *state_->file; }
const std::string& TiffFile::path() const { return state_->file->path(); }
const std::string& TiffFile::last_error() const { return state_->last_error; }
bool TiffFile::disk_full() const { return state_->write_error == kDiskFull; }
const std::string& TiffFile::damage() const { return state_->damage; }
bool TiffFile::saw_ifd_loop() const { return state_->ifd_loop; }

void TiffFile::Finish() {
  if (tif_ == nullptr) return;
  const bool flushed = TIFFFlush(tif_) == 1;
  TIFFCleanup(tif_);
  tif_ = nullptr;
  if (!flushed) {
    if (disk_full()) throw RuntimeError(kDiskFull);
    throw RuntimeError(kDeviceIoError, "Device I/O error (" + state_->last_error + ")");
  }
}

}  // namespace plotspool
