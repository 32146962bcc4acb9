#include "platform/media_size.h"

#include <charconv>

namespace plotspool::platform {
namespace {

// A plain decimal ("594", "8.5"): no sign, no exponent, nothing else.
std::optional<double> Decimal(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return std::nullopt;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !(value > 0)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<MediaSize> MediaSizeFromName(std::string_view name) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string_view::npos) return std::nullopt;
  std::string_view dimensions = name.substr(underscore + 1);
  double unit_mm = 0;
  if (dimensions.ends_with("mm")) {
    unit_mm = 1;
  } else if (dimensions.ends_with("in")) {
    unit_mm = 25.4;
  } else {
    return std::nullopt;
  }
  dimensions.remove_suffix(2);
  const size_t x = dimensions.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const std::optional<double> width = Decimal(dimensions.substr(0, x));
  const std::optional<double> height = Decimal(dimensions.substr(x + 1));
  if (!width || !height) return std::nullopt;
  MediaSize size;
  size.width_mm = *width * unit_mm;
  size.height_mm = *height * unit_mm;
  return size;
}

MediaSize TurnedToLandscape(const MediaSize& paper) {
  MediaSize turned;
  turned.width_mm = paper.height_mm;
  turned.height_mm = paper.width_mm;
  turned.left_mm = paper.top_mm;
  turned.top_mm = paper.right_mm;
  turned.right_mm = paper.bottom_mm;
  turned.bottom_mm = paper.left_mm;
  return turned;
}

}  // namespace plotspool::platform
