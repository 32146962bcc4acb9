#include "imaging/tiff_writer.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imaging/lzw_encoder.h"

#include "base/error.h"

namespace plotspool {
namespace {

// Output strips stay near this size: libtiff buffers one encoded strip, so this bounds the
// memory a save needs on top of the decoded image.
constexpr uint64_t kOutputStripBytes = uint64_t{8} << 20;
// A multi-page file with more pages than this is hostile (or an IFD chain gone wrong).
constexpr int kMaxPages = 10000;
constexpr uint64_t kMaxStripBytes = uint64_t{256} << 20;

[[noreturn]] void WriteFailed(TiffFile& file) {
  if (file.disk_full()) throw RuntimeError(kDiskFull);
  const std::string& why = file.damage().empty() ? file.last_error() : file.damage();
  throw RuntimeError(kDeviceIoError,
                     why.empty() ? "Device I/O error" : "Device I/O error (" + why + ")");
}

template <typename T>
void CopyScalar(TIFF* in, TIFF* out, ttag_t tag) {
  T value{};
  if (TIFFGetField(in, tag, &value) == 1) TIFFSetField(out, tag, value);
}

void CopyText(TIFF* in, TIFF* out, ttag_t tag) {
  char* text = nullptr;
  if (TIFFGetField(in, tag, &text) == 1 && text != nullptr) TIFFSetField(out, tag, text);
}

void CopyFloats(TIFF* in, TIFF* out, ttag_t tag) {
  float* values = nullptr;
  if (TIFFGetField(in, tag, &values) == 1 && values != nullptr) TIFFSetField(out, tag, values);
}

// Tags holding a block of bytes with its length: XMP and Photoshop metadata, ICC profiles.
void CopyBlob(TIFF* in, TIFF* out, ttag_t tag) {
  uint32_t size = 0;
  void* data = nullptr;
  if (TIFFGetField(in, tag, &size, &data) == 1 && data != nullptr) {
    TIFFSetField(out, tag, size, data);
  }
}

bool HasPredictor(uint16_t compression) {
  return compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
         compression == COMPRESSION_DEFLATE || compression == COMPRESSION_ZSTD ||
         compression == COMPRESSION_LZMA;
}

// The encoding of a page decoded through the RGBA reader: the decoded 8-bit gray or RGB,
// losslessly (LZW with the horizontal predictor, which every TIFF reader takes), since nothing
// writes old-style JPEG and a new JPEG would lose detail again on top of the first encoding.
void SetRgbaDecodedEncoding(TIFF* in, TIFF* out) {
  uint16_t photometric = PHOTOMETRIC_RGB;
  TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
  const uint16_t samples = RgbaDecodedSamples(photometric);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(out, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
}

// Everything that describes a page except its size and strip or tile layout. An old-style JPEG
// page keeps what does not depend on its encoding: the YCbCr, reference and JPEG tags describe
// data that is no longer there.
void CopyPageTags(TIFF* in, TIFF* out, bool swap_resolution) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
  const bool rgba = DecodesThroughRgba(compression);
  CopyScalar<uint32_t>(in, out, TIFFTAG_SUBFILETYPE);
  if (rgba) {
    SetRgbaDecodedEncoding(in, out);
  } else {
    CopyScalar<uint16_t>(in, out, TIFFTAG_BITSPERSAMPLE);
    CopyScalar<uint16_t>(in, out, TIFFTAG_SAMPLESPERPIXEL);
    CopyScalar<uint16_t>(in, out, TIFFTAG_PLANARCONFIG);
    CopyScalar<uint16_t>(in, out, TIFFTAG_PHOTOMETRIC);
    TIFFSetField(out, TIFFTAG_COMPRESSION, compression);
    CopyScalar<uint16_t>(in, out, TIFFTAG_FILLORDER);
    CopyScalar<uint16_t>(in, out, TIFFTAG_SAMPLEFORMAT);
    CopyScalar<uint16_t>(in, out, TIFFTAG_INKSET);
    CopyScalar<uint16_t>(in, out, TIFFTAG_YCBCRPOSITIONING);
  }
  CopyScalar<uint16_t>(in, out, TIFFTAG_ORIENTATION);
  CopyScalar<uint16_t>(in, out, TIFFTAG_THRESHHOLDING);
  CopyScalar<uint16_t>(in, out, TIFFTAG_RESOLUTIONUNIT);
  float x_res = 0, y_res = 0;
  const bool has_x = TIFFGetField(in, TIFFTAG_XRESOLUTION, &x_res) == 1;
  const bool has_y = TIFFGetField(in, TIFFTAG_YRESOLUTION, &y_res) == 1;
  if (swap_resolution) {
    if (has_y) TIFFSetField(out, TIFFTAG_XRESOLUTION, y_res);
    if (has_x) TIFFSetField(out, TIFFTAG_YRESOLUTION, x_res);
  } else {
    if (has_x) TIFFSetField(out, TIFFTAG_XRESOLUTION, x_res);
    if (has_y) TIFFSetField(out, TIFFTAG_YRESOLUTION, y_res);
  }
  CopyScalar<float>(in, out, TIFFTAG_XPOSITION);
  CopyScalar<float>(in, out, TIFFTAG_YPOSITION);
  if (HasPredictor(compression)) CopyScalar<uint16_t>(in, out, TIFFTAG_PREDICTOR);
  if (compression == COMPRESSION_CCITTFAX3) CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP3OPTIONS);
  if (compression == COMPRESSION_CCITTFAX4) CopyScalar<uint32_t>(in, out, TIFFTAG_GROUP4OPTIONS);
  for (ttag_t tag : {TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL,
                     TIFFTAG_PAGENAME, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                     TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT}) {
    CopyText(in, out, tag);
  }
  for (ttag_t tag : {TIFFTAG_WHITEPOINT, TIFFTAG_PRIMARYCHROMATICITIES}) CopyFloats(in, out, tag);
  uint16_t first = 0, second = 0;
  if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &first, &second) == 1) {
    TIFFSetField(out, TIFFTAG_PAGENUMBER, first, second);
  }
  for (ttag_t tag : {TIFFTAG_ICCPROFILE, TIFFTAG_XMLPACKET, TIFFTAG_PHOTOSHOP}) {
    CopyBlob(in, out, tag);
  }
  if (rgba) return;
  CopyFloats(in, out, TIFFTAG_REFERENCEBLACKWHITE);
  if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &first, &second) == 1) {
    TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, first, second);
  }
  uint16_t count = 0;
  uint16_t* extra = nullptr;
  if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &count, &extra) == 1 && extra != nullptr) {
    TIFFSetField(out, TIFFTAG_EXTRASAMPLES, count, extra);
  }
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) == 1) {
    TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);
  }
  if (compression == COMPRESSION_JPEG) {
    uint16_t photometric = 0;
    TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFSetField(out, TIFFTAG_JPEGQUALITY, 90);
    if (photometric == PHOTOMETRIC_YCBCR) {
      TIFFSetField(in, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
  }
}

// Whether the page is written in tiles like its source; pages decoded through the RGBA reader
// are written in strips, whatever tiles their old encoding needed.
bool WrittenTiled(const PageLayout& layout) { return layout.tiled && !layout.decoded_rgba; }

uint32_t OutputRowsPerStrip(const PageLayout& layout, uint32_t height, size_t row_bytes) {
  const uint32_t source_rows = layout.tiled ? layout.tile_length : layout.rows_per_strip;
  const uint64_t source_strip = uint64_t{std::min(source_rows, layout.height)} * layout.row_bytes;
  // A source written as one strip is written as one strip again when that stays small.
  if (source_rows >= layout.height && source_strip <= kOutputStripBytes) return height;
  const uint64_t bytes = std::min(source_strip, kOutputStripBytes);
  uint64_t rows = std::max<uint64_t>(1, bytes / row_bytes);
  // JPEG strips must hold whole blocks of (possibly subsampled) rows.
  if (layout.compression == COMPRESSION_JPEG) rows = std::max<uint64_t>(16, rows / 16 * 16);
  return static_cast<uint32_t>(std::min<uint64_t>(rows, height));
}

// Predictor sample stride for our own LZW encoder, or -1 when the page needs libtiff's (16-bit
// samples are byte-swapped on the way out, and a reversed bit order is applied by libtiff).
// `out`: the page begun, its tags set.
int OwnLzwStride(TIFF* out, const PageLayout& layout) {
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &compression);
  if (compression != COMPRESSION_LZW || WrittenTiled(layout)) return -1;
  uint16_t fill_order = FILLORDER_MSB2LSB, predictor = PREDICTOR_NONE;
  TIFFGetFieldDefaulted(out, TIFFTAG_FILLORDER, &fill_order);
  TIFFGetFieldDefaulted(out, TIFFTAG_PREDICTOR, &predictor);
  if (fill_order != FILLORDER_MSB2LSB) return -1;
  if (predictor == PREDICTOR_NONE) return layout.bits_per_sample <= 8 ? 0 : -1;
  if (predictor == PREDICTOR_HORIZONTAL && layout.bits_per_sample == 8) {
    return layout.planes > 1 ? 1 : layout.samples_per_pixel;
  }
  return -1;
}

// Below this much pixel data a second thread costs more than it saves.
constexpr uint64_t kParallelBytes = uint64_t{4} << 20;
// Encoded strips waiting to be written at most; bounds the memory the helper can run ahead.
constexpr uint32_t kStripsAhead = 3;

// Encodes the strips of `pixels` with LzwEncoder, on this thread and (for a large image) one
// helper thread, and writes them in order with TIFFWriteRawStrip from this thread only, since a
// TIFF handle is not thread-safe. The helper is joined before this returns or throws.
void WriteLzwStrips(const PixelBuffer& pixels, uint32_t rows_per_strip, size_t stride,
                    uint32_t first_index, TiffFile& out) {
  const uint32_t strips = (pixels.height + rows_per_strip - 1) / rows_per_strip;
  auto encode = [&](LzwEncoder& encoder, uint32_t strip, std::vector<uint8_t>& data) {
    const uint32_t y = strip * rows_per_strip;
    const uint32_t rows = std::min(rows_per_strip, pixels.height - y);
    encoder.EncodeStrip(pixels.Row(y), rows, pixels.row_bytes, stride, data);
  };
  auto write = [&](uint32_t strip, const std::vector<uint8_t>& data) {
    if (TIFFWriteRawStrip(out.get(), first_index + strip, const_cast<uint8_t*>(data.data()),
                          static_cast<tmsize_t>(data.size())) < 0) {
      WriteFailed(out);
    }
  };
  LzwEncoder encoder;
  if (uint64_t{pixels.row_bytes} * pixels.height < kParallelBytes || strips < 2 ||
      std::thread::hardware_concurrency() < 2) {
    std::vector<uint8_t> data;
    for (uint32_t strip = 0; strip < strips; ++strip) {
      encode(encoder, strip, data);
      write(strip, data);
    }
    return;
  }

  // Both threads take the next unclaimed strip; this thread also writes every finished strip
  // in order as soon as it can.
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::vector<uint8_t>> done(strips);
  std::vector<bool> ready(strips, false);
  // Written strips' buffers, reused so that no strip pays for fresh memory again.
  std::vector<std::vector<uint8_t>> spare;
  uint32_t next_claim = 0, next_write = 0;
  bool stop = false;
  std::exception_ptr helper_failure;
  auto claim = [&](std::unique_lock<std::mutex>& lock) -> int64_t {
    changed.wait(lock, [&] { return stop || next_claim < next_write + kStripsAhead; });
    if (stop || next_claim >= strips) return -1;
    return next_claim++;
  };
  std::thread helper([&] {
    try {
      LzwEncoder own;
      std::vector<uint8_t> data;
      for (;;) {
        int64_t strip;
        {
          std::unique_lock lock(mutex);
          strip = claim(lock);
          if (strip >= 0 && !spare.empty()) {
            data.swap(spare.back());
            spare.pop_back();
          }
        }
        if (strip < 0) return;
        encode(own, static_cast<uint32_t>(strip), data);
        std::lock_guard lock(mutex);
        done[strip].swap(data);
        ready[strip] = true;
        changed.notify_all();
      }
    } catch (const std::exception&) {  // bad_alloc: handed to the writing thread
      std::lock_guard lock(mutex);
      helper_failure = std::current_exception();
      stop = true;
      changed.notify_all();
    }
  });
  try {
    std::vector<uint8_t> data;
    std::unique_lock lock(mutex);
    while (next_write < strips) {
      if (ready[next_write]) {
        std::vector<uint8_t> finished;
        finished.swap(done[next_write]);
        lock.unlock();
        write(next_write, finished);
        lock.lock();
        spare.push_back(std::move(finished));
        ++next_write;
        changed.notify_all();
        continue;
      }
      if (helper_failure) std::rethrow_exception(helper_failure);
      // Never wait for the window here: only this thread moves it on.
      if (next_claim >= strips || next_claim >= next_write + kStripsAhead) {
        changed.wait(lock, [&] { return ready[next_write] || helper_failure != nullptr; });
        continue;
      }
      const uint32_t strip = next_claim++;
      if (!spare.empty()) {
        data.swap(spare.back());
        spare.pop_back();
      }
      lock.unlock();
      encode(encoder, strip, data);
      lock.lock();
      done[strip].swap(data);
      ready[strip] = true;
    }
    stop = true;
    changed.notify_all();
  } catch (const std::exception&) {
    {
      std::lock_guard lock(mutex);
      stop = true;
      changed.notify_all();
    }
    helper.join();
    throw;
  }
  helper.join();
}

// Writes the current page of `source` (number `page` from 0, for messages) to `out` decoded,
// row by row in constant memory: the pages no codec writes back as they were.
void CopyDecodedPage(TiffFile& source, int page, TiffFile& out) {
  const PageLayout layout = ReadPageLayout(source);
  if (!layout.unsupported.empty()) {
    throw RuntimeError(kInvalidPropertyValue, "Invalid property value (page " +
                                                  std::to_string(page + 1) + ": " +
                                                  layout.unsupported + ")");
  }
  TIFF* tif = out.get();
  BeginPixelPage(source, layout, layout.width, layout.height, false, out);
  uint32_t rows_per_strip = 0;
  TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  const size_t strip_bytes = size_t{rows_per_strip} * layout.row_bytes;
  auto strip = std::make_unique_for_overwrite<uint8_t[]>(strip_bytes);
  TiffRowReader reader(source, layout);
  for (uint32_t y = 0, index = 0; y < layout.height; y += rows_per_strip, ++index) {
    const uint32_t rows = std::min(rows_per_strip, layout.height - y);
    for (uint32_t r = 0; r < rows; ++r) {
      memcpy(strip.get() + size_t{r} * layout.row_bytes, reader.NextRow(), layout.row_bytes);
    }
    if (TIFFWriteEncodedStrip(tif, index, strip.get(),
                              static_cast<tmsize_t>(size_t{rows} * layout.row_bytes)) < 0) {
      WriteFailed(out);
    }
  }
  EndPixelPage(layout, out);
}

}  // namespace

void BeginPixelPage(TiffFile& source, const PageLayout& layout, uint32_t width, uint32_t height,
                    bool turned, TiffFile& out) {
  TIFF* tif = out.get();
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  CopyPageTags(source.get(), tif, turned);
  // The encoded log values go back into the codec they came from, bit for bit.
  if (layout.sgilog_format != 0 &&
      TIFFSetField(tif, TIFFTAG_SGILOGDATAFMT, layout.sgilog_format) != 1) {
    WriteFailed(out);
  }
  if (WrittenTiled(layout)) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, layout.tile_width);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, layout.tile_length);
  } else {
    const size_t row_bytes = (size_t{width} * layout.pixel_bits() + 7) / 8;
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, OutputRowsPerStrip(layout, height, row_bytes));
  }
}

void EndPixelPage(const PageLayout& layout, TiffFile& out) {
  TIFF* tif = out.get();
  if (layout.sgilog_format != 0) {
    // The data format asked of the codec changed libtiff's sample tags; the file keeps its own.
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.file_bits_per_sample);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.file_samples_per_pixel);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, layout.file_sample_format);
  }
  if (TIFFWriteDirectory(tif) != 1) WriteFailed(out);
}

void WritePixelPage(TiffFile& source, const PageLayout& layout,
                    const std::vector<PixelBuffer>& planes, bool turned, TiffFile& out) {
  TIFF* tif = out.get();
  const PixelBuffer& first = planes.front();
  BeginPixelPage(source, layout, first.width, first.height, turned, out);
  if (WrittenTiled(layout)) {
    const size_t tile_row = (size_t{layout.tile_width} * first.pixel_bits + 7) / 8;
    const size_t tile_bytes = tile_row * layout.tile_length;
    auto tile = std::make_unique<uint8_t[]>(tile_bytes);
    for (uint16_t plane = 0; plane < planes.size(); ++plane) {
      const PixelBuffer& pixels = planes[plane];
      for (uint32_t y = 0; y < pixels.height; y += layout.tile_length) {
        const uint32_t rows = std::min(layout.tile_length, pixels.height - y);
        for (uint32_t x = 0; x < pixels.width; x += layout.tile_width) {
          const size_t offset = size_t{x} * pixels.pixel_bits / 8;
          const size_t n = std::min(tile_row, pixels.row_bytes - offset);
          memset(tile.get(), 0, tile_bytes);
          for (uint32_t r = 0; r < rows; ++r) {
            memcpy(tile.get() + r * tile_row, pixels.Row(y + r) + offset, n);
          }
          if (TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x, y, 0, plane), tile.get(),
                                   static_cast<tmsize_t>(tile_bytes)) < 0) {
            WriteFailed(out);
          }
        }
      }
    }
  } else {
    uint32_t rows_per_strip = 0;
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    const uint32_t strips_per_plane = (first.height + rows_per_strip - 1) / rows_per_strip;
    const int own_lzw_stride = OwnLzwStride(tif, layout);
    // libtiff may change the data it encodes in place (predictor, bit order), and the pixels
    // are still needed afterwards, so each strip is encoded from a copy.
    const size_t strip_bytes = size_t{rows_per_strip} * first.row_bytes;
    std::unique_ptr<uint8_t[]> strip;
    if (own_lzw_stride < 0) strip = std::make_unique_for_overwrite<uint8_t[]>(strip_bytes);
    for (uint16_t plane = 0; plane < planes.size(); ++plane) {
      const PixelBuffer& pixels = planes[plane];
      uint32_t index = plane * strips_per_plane;
      if (own_lzw_stride >= 0) {
        WriteLzwStrips(pixels, rows_per_strip, static_cast<size_t>(own_lzw_stride), index, out);
        continue;
      }
      for (uint32_t y = 0; y < pixels.height; y += rows_per_strip, ++index) {
        const size_t bytes = size_t{std::min(rows_per_strip, pixels.height - y)} * pixels.row_bytes;
        memcpy(strip.get(), pixels.Row(y), bytes);
        if (TIFFWriteEncodedStrip(tif, index, strip.get(), static_cast<tmsize_t>(bytes)) < 0) {
          WriteFailed(out);
        }
      }
    }
  }
  EndPixelPage(layout, out);
}

void CopyFurtherPages(TiffFile& source, TiffFile& out) {
  TIFF* in = source.get();
  TIFF* tif = out.get();
  const uint64_t file_size = source.file().Size();
  if (TIFFSetDirectory(in, 0) != 1) WriteFailed(source);
  for (int page = 1; page < kMaxPages; ++page) {
    if (TIFFLastDirectory(in)) return;
    if (TIFFReadDirectory(in) != 1) {
      // A loop back to a page already read ends the chain (libtiff stops there; every page has
      // been copied). Anything else is a page that is named but cannot be read: the file is
      // damaged, and leaving the page out would lose it.
      if (source.saw_ifd_loop()) return;
      throw RuntimeError(kDeviceIoError,
                         "Device I/O error (page " + std::to_string(page + 1) + " cannot be read" +
                             (source.damage().empty() ? "" : ": " + source.damage()) + ")");
    }
    uint32_t width = 0, height = 0;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &compression);
    if (DecodesThroughRgba(compression)) {
      CopyDecodedPage(source, page, out);
      continue;
    }
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    CopyPageTags(in, tif, false);
    const bool tiled = TIFFIsTiled(in) != 0;
    if (tiled) {
      CopyScalar<uint32_t>(in, tif, TIFFTAG_TILEWIDTH);
      CopyScalar<uint32_t>(in, tif, TIFFTAG_TILELENGTH);
    } else {
      uint32_t rows_per_strip = 0;
      TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    }
    const uint32_t count = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
    std::unique_ptr<uint8_t[]> buffer;
    if (compression == COMPRESSION_JPEG) {
      // JPEG data depends on tables kept in the directory: decode and encode again.
      const tmsize_t size = tiled ? TIFFTileSize(in) : TIFFStripSize(in);
      if (size <= 0 || static_cast<uint64_t>(size) > kMaxStripBytes) WriteFailed(source);
      buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
      for (uint32_t i = 0; i < count; ++i) {
        const tmsize_t n = tiled ? TIFFReadEncodedTile(in, i, buffer.get(), size)
                                 : TIFFReadEncodedStrip(in, i, buffer.get(), size);
        if (n < 0 || !source.damage().empty()) WriteFailed(source);
        if ((tiled ? TIFFWriteEncodedTile(tif, i, buffer.get(), n)
                   : TIFFWriteEncodedStrip(tif, i, buffer.get(), n)) < 0) {
          WriteFailed(out);
        }
      }
    } else {
      size_t capacity = 0;
      for (uint32_t i = 0; i < count; ++i) {
        const uint64_t bytes = TIFFGetStrileByteCount(in, i);
        if (bytes == 0) continue;  // a sparse strip stays sparse
        if (bytes > file_size || bytes > kMaxStripBytes) WriteFailed(source);
        if (bytes > capacity) {
          capacity = static_cast<size_t>(bytes);
          buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
        }
        const tmsize_t n =
            tiled ? TIFFReadRawTile(in, i, buffer.get(), static_cast<tmsize_t>(bytes))
                  : TIFFReadRawStrip(in, i, buffer.get(), static_cast<tmsize_t>(bytes));
        if (n != static_cast<tmsize_t>(bytes)) WriteFailed(source);
        if ((tiled ? TIFFWriteRawTile(tif, i, buffer.get(), n)
                   : TIFFWriteRawStrip(tif, i, buffer.get(), n)) < 0) {
          WriteFailed(out);
        }
      }
    }
    if (TIFFWriteDirectory(tif) != 1) WriteFailed(out);
  }
}

}  // namespace plotspool
