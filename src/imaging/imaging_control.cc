#include "imaging/imaging_control.h"

#include <exception>
#include <thread>
#include <vector>

#include "base/error.h"
#include "imaging/banded_turn.h"
#include "imaging/bitmap_export.h"
#include "imaging/bmp_writer.h"
#include "imaging/pixel_turn.h"
#include "imaging/print_picture.h"
#include "imaging/tiff_file.h"
#include "imaging/tiff_page.h"
#include "imaging/tiff_writer.h"
#include "platform/raw_file.h"

namespace plotspool {

struct ImagingControl::Loaded {
  TiffFile source;  // the file as loaded or last saved, kept open (and so unchanged) meanwhile
  PageLayout layout;
  int turns = 0;  // quarter turns clockwise applied since then
  // Decoded pixels of the source turned `pixel_turns` times, one picture per sample plane; a
  // cache, dropped when stale (empty).
  std::vector<PixelBuffer> pixels;
  // The same for a page larger than a band, kept band-wise instead (then `pixels` is empty).
  std::unique_ptr<BandedTurn> bands;
  int pixel_turns = 0;

  bool has_pixels() const { return !pixels.empty() || bands != nullptr; }
  void DropPixels() {
    pixels.clear();
    bands.reset();
  }

  bool odd() const { return turns % 2 == 1; }
  // Puts the source back on its first page (a save or a second handle may have moved it) and
  // reads that page's layout afresh. Throws RuntimeError 57 with libtiff's reason.
  void RewindToFirstPage() {
    if (TIFFSetDirectory(source.get(), 0) != 1) {
      throw RuntimeError(kDeviceIoError, "Device I/O error (" + source.last_error() + ")");
    }
    layout = ReadPageLayout(source);
  }
};

namespace {

[[noreturn]] void Unexpected(const std::exception& e) {
  throw RuntimeError(kDeviceIoError, std::string("Device I/O error (") + e.what() + ")");
}

// Runs `write` on a new file beside `target` and renames it over `target` once complete; on
// any failure the temporary file is removed and `target` stays as it was.
template <typename Write>
void ReplaceAtomically(platform::RawFile& temporary, const std::string& target, Write&& write) {
  const std::string temporary_path = temporary.path();
  try {
    write();
    temporary.Sync();
    temporary.Close();
    platform::RawFile::RenameOver(temporary_path, target);
  } catch (const RuntimeError&) {
    platform::RawFile::RemoveQuietly(temporary_path);
    throw;
  } catch (const std::exception& e) {  // bad_alloc and the like
    platform::RawFile::RemoveQuietly(temporary_path);
    Unexpected(e);
  }
}

// Below this much decoded data a second thread costs more than it saves.
constexpr uint64_t kParallelTurnBytes = uint64_t{4} << 20;

// One quarter turn of a large striped page of whole-byte pixels, decoded and turned in two
// halves at once: the second half by a helper thread through its own handle on the same file
// (libtiff handles are not thread-safe). The helper is joined before this returns or throws.
// Returns false, having done nothing, when the page is not worth or not fit for it.
bool DecodeTurnedRightInHalves(TiffFile& source, const PageLayout& layout,
                               std::vector<PixelBuffer>& pixels) {
  // Tiled pages have no rows per strip.
  if (layout.tiled || layout.rows_per_strip == 0 || layout.planes > 1) return false;
  const uint32_t strips = (layout.height + layout.rows_per_strip - 1) / layout.rows_per_strip;
  if (layout.pixel_bits() % 8 != 0 || layout.ycbcr_as_rgb ||
      layout.compression == COMPRESSION_JPEG || layout.compression == COMPRESSION_OJPEG ||
      layout.decoded_bytes() < kParallelTurnBytes || strips < 2 ||
      std::thread::hardware_concurrency() < 2) {
    return false;
  }
  TiffFile second = TiffFile::ReaderOnSameFile(source);
  const PageLayout second_layout = ReadPageLayout(second);
  if (second_layout.width != layout.width || second_layout.height != layout.height ||
      second_layout.pixel_bits() != layout.pixel_bits() ||
      second_layout.rows_per_strip != layout.rows_per_strip) {
    return false;
  }
  const uint32_t split = strips / 2 * layout.rows_per_strip;
  auto out = std::make_unique<PixelBuffer>(
      AllocateTurnedRight(layout.width, layout.height, layout.pixel_bits()));
  std::exception_ptr helper_failure;
  std::thread helper([&] {
    try {
      TiffRowReader reader(second, second_layout, split);
      TurnRowsRight(
          layout.width, layout.height, layout.pixel_bits(), split, layout.height,
          [&reader] { return reader.NextRow(); }, *out);
    } catch (const std::exception&) {  // handed to this thread, which throws it
      helper_failure = std::current_exception();
    }
  });
  try {
    TiffRowReader reader(source, layout);
    TurnRowsRight(
        layout.width, layout.height, layout.pixel_bits(), 0, split,
        [&reader] { return reader.NextRow(); }, *out);
  } catch (const std::exception&) {
    helper.join();
    throw;
  }
  helper.join();
  if (helper_failure) std::rethrow_exception(helper_failure);
  pixels.push_back(std::move(*out));
  return true;
}

// The page turned `turns` times, kept band-wise; bands hold whole output strips or tiles.
std::unique_ptr<BandedTurn> MakeBandedTurn(TiffFile& source, const PageLayout& layout, int turns) {
  const bool odd = turns % 2 == 1;
  const uint32_t width = odd ? layout.height : layout.width;
  const uint32_t height = odd ? layout.width : layout.height;
  const size_t row_bytes = (size_t{width} * layout.pixel_bits() + 7) / 8;
  const uint32_t unit =
      WritesTiled(layout) ? layout.tile_length : OutputRowsPerStrip(layout, height, row_bytes);
  auto bands =
      std::make_unique<BandedTurn>(layout.width, layout.height, layout.pixel_bits(), layout.planes,
                                   turns, TurnBandRows(height, row_bytes, unit));
  for (uint16_t plane = 0; plane < layout.planes; ++plane) {
    TiffRowReader reader(source, layout, 0, plane);
    bands->AddPlane([&reader] { return reader.NextRow(); });
  }
  return bands;
}

// The page's pixels for the writer, from whichever form holds them.
PageBands PixelsForWriting(std::vector<PixelBuffer>& pixels, BandedTurn* bands) {
  if (bands == nullptr) {
    const PixelBuffer& first = pixels.front();
    return {first.width,
            first.height,
            first.pixel_bits,
            static_cast<uint16_t>(pixels.size()),
            first.height,
            [&pixels](uint16_t plane, uint32_t) -> const PixelBuffer& { return pixels[plane]; }};
  }
  return {bands->width(),
          bands->height(),
          bands->pixel_bits(),
          bands->planes(),
          bands->band_rows(),
          [bands](uint16_t plane, uint32_t first_row) -> const PixelBuffer& {
            return bands->Band(plane, first_row);
          }};
}

}  // namespace

ImagingControl::ImagingControl() = default;
ImagingControl::~ImagingControl() = default;

template <typename Operation>
void ImagingControl::Run(Operation&& operation) {
  try {
    operation();
    status_ = 0;
  } catch (const RuntimeError& e) {
    status_ = e.number();
    throw;
  } catch (const std::exception& e) {
    status_ = kDeviceIoError;
    Unexpected(e);
  }
}

void ImagingControl::RequireImage() const {
  if (image_ == nullptr) {
    throw RuntimeError(kInvalidProcedureCall, "Invalid procedure call or argument (no image)");
  }
}

void ImagingControl::LoadSource(const std::string& path) {
  TiffFile source = TiffFile::OpenForReading(path);
  PageLayout layout = ReadPageLayout(source);
  image_ = std::make_unique<Loaded>(Loaded{std::move(source), std::move(layout), 0, {}, {}, 0});
}

void ImagingControl::Load(const std::string& path) {
  Run([&] {
    image_.reset();
    path_.clear();
    LoadSource(path);
    path_ = path;
  });
}

int32_t ImagingControl::ImageWidth() const {
  if (image_ == nullptr) return 0;
  return static_cast<int32_t>(image_->odd() ? image_->layout.height : image_->layout.width);
}

int32_t ImagingControl::ImageHeight() const {
  if (image_ == nullptr) return 0;
  return static_cast<int32_t>(image_->odd() ? image_->layout.width : image_->layout.height);
}

double ImagingControl::HorizontalResolution() const {
  if (image_ == nullptr) return 0;
  return image_->odd() ? image_->layout.y_dpi : image_->layout.x_dpi;
}

double ImagingControl::VerticalResolution() const {
  if (image_ == nullptr) return 0;
  return image_->odd() ? image_->layout.x_dpi : image_->layout.y_dpi;
}

void ImagingControl::Display() {
  Run([&] { RequireImage(); });
}

void ImagingControl::RotateRight() {
  Run([&] {
    RequireImage();
    image_->turns = (image_->turns + 1) % 4;
    // Pixels for another turn count are decoded afresh from the file when needed; freeing them
    // now keeps the peak at one decoded image.
    if (image_->pixel_turns != image_->turns) image_->DropPixels();
  });
}

void ImagingControl::MakeTurned() {
  Loaded& image = *image_;
  if (image.has_pixels() && image.pixel_turns == image.turns) return;
  image.DropPixels();
  image.RewindToFirstPage();
  RequireDecodedSizeWithinLimit(image.layout);
  RequireDecodable(image.source, image.layout);
  if (image.layout.decoded_bytes() > TurnBandBytes()) {
    image.bands = MakeBandedTurn(image.source, image.layout, image.turns);
    image.pixel_turns = image.turns;
    return;
  }
  if (image.turns == 1 && DecodeTurnedRightInHalves(image.source, image.layout, image.pixels)) {
    image.pixel_turns = image.turns;
    return;
  }
  for (uint16_t plane = 0; plane < image.layout.planes; ++plane) {
    TiffRowReader reader(image.source, image.layout, 0, plane);
    image.pixels.push_back(DecodeTurned(image.layout.width, image.layout.height,
                                        image.layout.pixel_bits(), image.turns,
                                        [&reader] { return reader.NextRow(); }));
  }
  image.pixel_turns = image.turns;
}

void ImagingControl::WriteTiff(const std::string& target) {
  Loaded& image = *image_;
  MakeTurned();
  TIFF* in = image.source.get();
  const bool big_tiff = TIFFIsBigTIFF(in) || image.layout.decoded_bytes() > (uint64_t{3} << 30);
  TiffFile out =
      TiffFile::CreateBeside(target, &image.source.file(), TIFFIsBigEndian(in) != 0, big_tiff);
  ReplaceAtomically(out.file(), target, [&] {
    WritePixelBands(image.source, image.layout, PixelsForWriting(image.pixels, image.bands.get()),
                    image.odd(), out);
    CopyFurtherPages(image.source, out);
    out.Finish();
  });
  // The source handle wandered through the further pages; bring it back to the first.
  if (TIFFSetDirectory(in, 0) == 1) image.layout = ReadPageLayout(image.source);
}

void ImagingControl::CopyUnchanged(const std::string& target) {
  platform::RawFile& source = image_->source.file();
  platform::RawFile out = platform::RawFile::CreateBeside(target, &source);
  ReplaceAtomically(out, target, [&] {
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (uint64_t offset = 0;;) {
      const size_t n = source.ReadAt(offset, buffer);
      if (n == 0) break;
      out.WriteAt(offset, {buffer.data(), n});
      offset += n;
    }
  });
}

void ImagingControl::WriteBitmap(const std::string& target) {
  Loaded& image = *image_;
  RequireDecodable(image.source, image.layout);
  if (!BitmapCarriesExactly(image.layout)) {
    WritePrintPicture(target);
    return;
  }
  // An unturned image streams from the file; a turned one needs its pixels in memory anyway.
  const bool from_pixels = image.turns != 0 || (image.has_pixels() && image.pixel_turns == 0);
  const BitmapRowConverter converter(image.layout, static_cast<uint32_t>(ImageWidth()),
                                     static_cast<uint32_t>(ImageHeight()), HorizontalResolution(),
                                     VerticalResolution());
  if (image.turns != 0) MakeTurned();
  platform::RawFile out = platform::RawFile::CreateBeside(target);
  ReplaceAtomically(out, target, [&] {
    BmpWriter writer(out, converter.format());
    std::vector<uint8_t> row(converter.format().PackedRowBytes());
    if (from_pixels) {
      // The converter takes no page of separate planes, so there is one picture.
      const PageBands bands = PixelsForWriting(image.pixels, image.bands.get());
      for (uint32_t first = 0; first < bands.height; first += bands.band_rows) {
        const PixelBuffer& pixels = bands.band(0, first);
        for (uint32_t y = 0; y < pixels.height; ++y) {
          converter.Convert(pixels.Row(y), row.data());
          writer.WriteRow(row);
        }
      }
    } else {
      image.RewindToFirstPage();
      TiffRowReader reader(image.source, image.layout);
      for (uint32_t y = 0; y < image.layout.height; ++y) {
        converter.Convert(reader.NextRow(), row.data());
        writer.WriteRow(row);
      }
    }
    writer.Finish();
  });
}

void ImagingControl::WritePrintPicture(const std::string& target) {
  Loaded& image = *image_;
  const PrintRowConverter converter(image.layout, static_cast<uint32_t>(ImageWidth()),
                                    static_cast<uint32_t>(ImageHeight()));
  // Separate planes are needed side by side; reading them from the file at once would decode
  // each strip again for every row, so they are decoded into memory as for a turn (within the
  // decoded-size limit).
  const bool from_pixels =
      image.turns != 0 || image.layout.planes > 1 || (image.has_pixels() && image.pixel_turns == 0);
  if (from_pixels) MakeTurned();
  platform::RawFile out = platform::RawFile::CreateBeside(target);
  ReplaceAtomically(out, target, [&] {
    PrintPictureWriter writer(out, converter.format());
    std::vector<uint8_t> row(converter.format().RowBytes());
    std::vector<const uint8_t*> planes(from_pixels ? image.layout.planes : 1);
    if (from_pixels && image.bands != nullptr) {
      BandedTurn& bands = *image.bands;
      for (uint32_t first = 0; first < bands.height(); first += bands.band_rows()) {
        const std::vector<PixelBuffer>& band = bands.Bands(first);
        for (uint32_t y = 0; y < band.front().height; ++y) {
          for (size_t p = 0; p < planes.size(); ++p) planes[p] = band[p].Row(y);
          converter.Convert(planes, row.data());
          writer.WriteRow(row);
        }
      }
    } else if (from_pixels) {
      for (uint32_t y = 0; y < image.pixels.front().height; ++y) {
        for (size_t p = 0; p < planes.size(); ++p) planes[p] = image.pixels[p].Row(y);
        converter.Convert(planes, row.data());
        writer.WriteRow(row);
      }
    } else {
      image.RewindToFirstPage();
      TiffRowReader reader(image.source, image.layout);
      for (uint32_t y = 0; y < image.layout.height; ++y) {
        planes[0] = reader.NextRow();
        converter.Convert(planes, row.data());
        writer.WriteRow(row);
      }
    }
    writer.Finish();
  });
}

void ImagingControl::Save() {
  Run([&] {
    RequireImage();
    if (image_->turns == 0) return;  // unchanged: the file stays byte for byte as it is
    WriteTiff(path_);
    // From now on the saved file is the image's source, and the pixels are its unturned pixels.
    // Pixels kept band-wise are dropped instead: an export streams the saved file more cheaply
    // than it would decompress and turn every band again (decoding the file costs about what
    // decompressing does, and the turn is saved), and holds less meanwhile.
    std::vector<PixelBuffer> pixels = std::move(image_->pixels);
    LoadSource(path_);
    image_->pixels = std::move(pixels);
    image_->pixel_turns = 0;
  });
}

void ImagingControl::SaveAs(const std::string& path, ImageFileType type) {
  Run([&] {
    RequireImage();
    switch (type) {
      case ImageFileType::kTiff:
        if (image_->turns == 0) {
          CopyUnchanged(path);
        } else {
          WriteTiff(path);
        }
        return;
      case ImageFileType::kBitmap:
        WriteBitmap(path);
        return;
    }
    throw RuntimeError(kInvalidPropertyValue);
  });
}

}  // namespace plotspool
