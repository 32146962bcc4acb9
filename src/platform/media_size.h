// Paper sizes read from self-describing media names such as "iso_a1_594x841mm" or
// "na_d_22x34in": the last part of the name carries width x height and the unit.
#ifndef PLOTSPOOL_PLATFORM_MEDIA_SIZE_H_
#define PLOTSPOOL_PLATFORM_MEDIA_SIZE_H_

#include <optional>
#include <string_view>

namespace plotspool::platform {

struct MediaSize {
  double width_mm = 0;  // of the sheet, portrait
  double height_mm = 0;
  // Margins that cannot be printed on, portrait.
  double left_mm = 0, right_mm = 0, top_mm = 0, bottom_mm = 0;
};

// The size a media name states, without margins; nullopt when the name states none
// (no "_<w>x<h>mm" or "_<w>x<h>in" at its end, or a size that is not positive).
std::optional<MediaSize> MediaSizeFromName(std::string_view name);

// The sheet as it lies in landscape: turned a quarter turn counter-clockwise, so the portrait
// top edge (and its margin) becomes the left one.
MediaSize TurnedToLandscape(const MediaSize& paper);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_MEDIA_SIZE_H_
