// The imaging control: loads the first page of a TIFF job file, measures it, turns it in
// quarter turns clockwise, saves it back (atomically, keeping compression, bit depth,
// photometric interpretation, tags and further pages) and exports it as TIFF or bitmap.
//
// Loading reads the header only; pixels are decoded when a turned image is needed, straight
// into the turned layout, and for a page larger than a band (imaging/banded_turn.h) band by band,
// so that a large plot is never whole in memory. An image not changed since it was loaded or
// saved is never re-encoded.
// Every operation sets Status(): 0 on success, the error number when it throws RuntimeError.
#ifndef PLOTSPOOL_IMAGING_IMAGING_CONTROL_H_
#define PLOTSPOOL_IMAGING_IMAGING_CONTROL_H_

#include <cstdint>
#include <memory>
#include <string>

namespace plotspool {

enum class ImageFileType : int16_t { kTiff = 1, kBitmap = 3 };

class ImagingControl {
 public:
  ImagingControl();
  ~ImagingControl();
  ImagingControl(const ImagingControl&) = delete;
  ImagingControl& operator=(const ImagingControl&) = delete;

  // Loads `path` (never through a symbolic link), dropping any image held before. Throws
  // RuntimeError: 53 missing, 70 denied, 75 link or not a regular file, 380 not a TIFF this
  // control reads (also when its decoded size would exceed the limit); nothing is held then.
  void Load(const std::string& path);
  // The current file name: the path loaded last; empty when nothing is loaded.
  const std::string& Image() const { return path_; }
  bool HasImage() const { return image_ != nullptr; }

  // Size in pixels of the image with its turns applied; 0 when nothing is loaded.
  int32_t ImageWidth() const;
  int32_t ImageHeight() const;
  // Resolution in dots per inch with the turns applied (centimetre units converted); 0 when the
  // file states none or nothing is loaded.
  double HorizontalResolution() const;
  double VerticalResolution() const;

  // Shows the image: a service has no screen, so this only checks that an image is loaded.
  // Throws RuntimeError 5 when none is.
  void Display();
  // Turns the image a quarter turn clockwise. Throws RuntimeError 5 when nothing is loaded.
  void RotateRight();
  // Writes the image with its turns over the current file (temporary file beside it, then
  // rename). Leaves the file untouched when the image has not changed since it was loaded or
  // last saved. Throws RuntimeError (5 nothing loaded, 57 undecodable pixels, file errors).
  void Save();
  // Writes the image with its turns to `path` as a TIFF (like Save, all pages) or as a bitmap
  // for the printer (first page): a bitmap of 1 bit for bilevel, 8 bits for gray and 24 bits for
  // 8-bit RGB; every other layout as a print picture (imaging/print_picture.h) that keeps CMYK,
  // Lab, palettes and 16-bit samples. The current file
  // name and the unsaved state stay as they were. Throws RuntimeError like Save.
  void SaveAs(const std::string& path, ImageFileType type);

  // Outcome of the last operation: 0 success, else the number of the error it threw.
  int32_t Status() const { return status_; }

 private:
  struct Loaded;
  template <typename Operation>
  void Run(Operation&& operation);
  void RequireImage() const;
  void LoadSource(const std::string& path);
  void MakeTurned();
  void WriteTiff(const std::string& target);
  void CopyUnchanged(const std::string& target);
  void WriteBitmap(const std::string& target);
  void WritePrintPicture(const std::string& target);

  std::unique_ptr<Loaded> image_;
  std::string path_;
  int32_t status_ = 0;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_IMAGING_CONTROL_H_
