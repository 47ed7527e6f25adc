// The settings store over the INI file. Nothing is cached: every read opens the file, every
// write has replaced the file before it returns, so a change made in the settings dialog is
// seen by the next provider call on any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "core/SettingsKeys.h"

namespace kestrill {

class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The settings file's full path: the data folder joined with "Kestrill.Ini".
std::string SettingsFilePath();

class TConfig {
 public:
  // Only stores the path; the file is neither read nor created here.
  explicit TConfig(std::string AFileName);

  const std::string& FileName() const { return FFileName; }

  // At most 2047 characters. Absent key → ADefault; present with an empty value → "".
  std::string ReadString(std::string_view ASection, std::string_view AKey,
                         std::string_view ADefault) const;
  // Decimal, or hexadecimal after "0x" or "$"; anything else → ADefault.
  int ReadInteger(std::string_view ASection, std::string_view AKey, int ADefault) const;
  // Read as an integer: non-zero is true, so a hand-written "true" reads as ADefault.
  bool ReadBool(std::string_view ASection, std::string_view AKey, bool ADefault) const;
  double ReadFloat(std::string_view ASection, std::string_view AKey, double ADefault) const;

  // Each write throws EIniFileException("Unable to write to <path>") when refused.
  void WriteString(std::string_view ASection, std::string_view AKey, std::string_view AValue);
  void WriteInteger(std::string_view ASection, std::string_view AKey, int AValue);
  void WriteBool(std::string_view ASection, std::string_view AKey, bool AValue);  // "1"/"0"
  void WriteFloat(std::string_view ASection, std::string_view AKey, double AValue);

  // Typed access through the key table.
  std::string Read(const TSettingKey<std::string>& K, std::string_view ADefault) const {
    return ReadString(K.Section, K.Key, ADefault);
  }
  int Read(const TSettingKey<int>& K, int ADefault) const {
    return ReadInteger(K.Section, K.Key, ADefault);
  }
  bool Read(const TSettingKey<bool>& K, bool ADefault) const {
    return ReadBool(K.Section, K.Key, ADefault);
  }
  double Read(const TSettingKey<double>& K, double ADefault) const {
    return ReadFloat(K.Section, K.Key, ADefault);
  }
  void Write(const TSettingKey<std::string>& K, std::string_view V) {
    WriteString(K.Section, K.Key, V);
  }
  void Write(const TSettingKey<int>& K, int V) { WriteInteger(K.Section, K.Key, V); }
  void Write(const TSettingKey<bool>& K, bool V) { WriteBool(K.Section, K.Key, V); }
  void Write(const TSettingKey<double>& K, double V) { WriteFloat(K.Section, K.Key, V); }

 private:
  std::string FFileName;
};

// Why settings cannot be read at all, in Korean: the data folder's place is taken by a file, or
// the settings file exists but cannot be read. "" when reading works (a file not written yet is
// fine). Every read then falls back to its default, which would otherwise look like a missing
// API key.
std::string SettingsProblem(const std::string& ASettingsFile);

// Value parsing shared by the readers (exposed for tests).
bool ParseIniInteger(std::string_view AText, int& AOut);
bool ParseIniFloat(std::string_view AText, double& AOut);
std::string FormatIniFloat(double AValue);

}  // namespace kestrill
