#include <clocale>

#include "service/service.h"

int main() {
  // Dates and times in the log follow the environment; numbers are always read and written with
  // a decimal point, so a value written as text reads back the same.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  return plotspool::Main();
}
