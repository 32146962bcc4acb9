// Checks of PDF files with the command-line tools of the test machine.
#ifndef PLOTSPOOL_TESTS_PDF_CHECK_H_
#define PLOTSPOOL_TESTS_PDF_CHECK_H_

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace plotspool::testing {

struct CommandResult {
  int status = -1;
  std::string output;  // stdout and stderr
};

inline CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    result.status = pclose(pipe);
  }
  return result;
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A page rendered by pdftoppm: samples row by row, 1 (gray) or 3 (RGB) per pixel.
struct Rendered {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> samples;
  // Gray value, or the red sample for colour.
  int At(int x, int y, int channel = 0) const {
    return samples[(static_cast<size_t>(y) * width + x) * channels + channel];
  }
};

// Renders page 1 of `pdf` at `dpi`; an empty result when pdftoppm fails.
inline Rendered Render(const std::filesystem::path& pdf, int dpi, bool gray) {
  const std::filesystem::path out = pdf.string() + ".render";
  const std::string command = "pdftoppm -singlefile -r " + std::to_string(dpi) +
                              (gray ? " -gray " : " ") + pdf.string() + " " + out.string();
  Rendered page;
  if (RunCommand(command).status != 0) return page;
  std::ifstream in(out.string() + (gray ? ".pgm" : ".ppm"), std::ios::binary);
  std::string magic;
  int max = 0;
  in >> magic >> page.width >> page.height >> max;
  in.get();
  page.channels = gray ? 1 : 3;
  page.samples.resize(static_cast<size_t>(page.width) * page.height * page.channels);
  in.read(reinterpret_cast<char*>(page.samples.data()), page.samples.size());
  if (!in) page = Rendered{};
  return page;
}

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_PDF_CHECK_H_
