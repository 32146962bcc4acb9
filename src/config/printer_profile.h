// The profile of one printer directory: the section of the settings file named like the
// directory, read afresh for every job.
#ifndef PLOTSPOOL_CONFIG_PRINTER_PROFILE_H_
#define PLOTSPOOL_CONFIG_PRINTER_PROFILE_H_

#include <optional>
#include <string>
#include <vector>

namespace plotspool {

// All values held exactly as read; nothing is converted or checked here.
struct PrinterProfileRecord {
  std::string sApplication;   // program the finished job is handed to; empty = none
  std::string sPrinterName;   // pattern matched against the installed printers; empty = no print
  std::string sOutputFolder;  // folder the job is copied to, ending in "/"; empty = no copy
  // Wanted orientation per detected format: "Q" landscape, "H" portrait, empty = as detected.
  std::string sOrientationA4, sOrientationA3, sOrientationA2, sOrientationA1, sOrientationA0;
  std::string sOrientationA, sOrientationB, sOrientationC, sOrientationD, sOrientationE;
  // The paper format a job detected as that format is output as.
  std::string sChangeA4, sChangeA3, sChangeA2, sChangeA1, sChangeA0;
  std::string sChangeA, sChangeB, sChangeC, sChangeD, sChangeE;
  // The printer's paper number per output format.
  std::string sPN_A4, sPN_A3, sPN_A2, sPN_A1, sPN_A0;
  std::string sPN_A, sPN_B, sPN_C, sPN_D, sPN_E;
};

// Reads `section` of IniFile, writing every empty key back with its default, so the first job in
// a new directory leaves a complete section. Appends "/" to a non-empty sOutputFolder in the
// record only and creates that folder. Reports nothing. Nullopt when the settings file could not
// be read, or kept changing while a value read empty: some values would then be defaults that
// the file may not hold, and the job must not use them.
std::optional<PrinterProfileRecord> ReadPrinterProfile(const std::string& section);

// One key of a printer section as a job would see it.
struct ProfileValue {
  std::string key;
  std::string value;
  bool from_file = false;  // false: the file holds no value, the default applies
};

// What ReadPrinterProfile would put into the record for `section`, read without writing a
// default or creating the output folder. `values`, when given, receives every key in reading
// order with where its value comes from.
PrinterProfileRecord PeekPrinterProfile(const std::string& section,
                                        std::vector<ProfileValue>* values = nullptr);

// Whether `key` is a key of a printer section (ASCII case ignored, as the settings file does).
bool IsPrinterProfileKey(const std::string& key);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_PRINTER_PROFILE_H_
