// Owner of one libtiff handle working on a file this process opened itself (no symbolic link is
// followed; see platform::RawFile). libtiff's own messages never reach stderr: the last error
// text is kept here for the caller's error description, and so is the first sign of damaged data.
#ifndef PLOTSPOOL_IMAGING_TIFF_FILE_H_
#define PLOTSPOOL_IMAGING_TIFF_FILE_H_

#include <tiffio.h>

#include <memory>
#include <string>

#include "platform/raw_file.h"

namespace plotspool {

class TiffFile {
 public:
  // Opens `path` and reads its first directory. Throws RuntimeError: the file errors of
  // RawFile, or 380 when the file is no readable TIFF.
  static TiffFile OpenForReading(const std::string& path);
  // A second, independent handle reading the same open file as `other` (so the very file
  // `other` read, whatever happened to its path since), on its first directory. `other` must
  // outlive it. Each of the two may then be used on its own thread. Throws as OpenForReading.
  static TiffFile ReaderOnSameFile(TiffFile& other);
  // Starts a new TIFF in a fresh hidden file beside `target` (see RawFile::CreateBeside).
  static TiffFile CreateBeside(const std::string& target, const platform::RawFile* like,
                               bool big_endian, bool big_tiff);

  TiffFile(TiffFile&&) noexcept;
  TiffFile& operator=(TiffFile&&) noexcept;
  ~TiffFile();

  TIFF* get() const { return tif_; }
  platform::RawFile& file();
  const std::string& path() const;
  // libtiff's last error message on this handle, empty when there was none.
  const std::string& last_error() const;
  // True when the last failed write found the disk full.
  bool disk_full() const;
  // libtiff's first report on this handle that what it read is damaged: any error, a codec's
  // warning about corrupt or missing data, or a directory it had to repair (a structural tag
  // ignored, a required value assumed or recalculated). Empty when there was none. A read call
  // may succeed in full and still leave this set; its data is then not to be trusted.
  const std::string& damage() const;
  // Whether libtiff found a chain of directories leading back to one already read (and so
  // stopped reading there).
  bool saw_ifd_loop() const;
  // Writes what is pending and closes the handle (the file itself stays open for Sync).
  // Throws RuntimeError when libtiff cannot finish the file.
  void Finish();

  struct State;  // defined in the .cc; public only for libtiff's callbacks

 private:
  TiffFile(std::unique_ptr<State> state, TIFF* tif);
  static TiffFile OpenReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  TIFF* tif_ = nullptr;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_FILE_H_
