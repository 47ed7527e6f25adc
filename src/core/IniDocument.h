// An INI text kept line by line, so that a write changes one line and leaves the rest of the
// file (comments, unknown keys, order) as the user left it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrill {

class TIniDocument {
 public:
  static TIniDocument Parse(std::string_view AText);

  // Section and key names match without regard to ASCII case, as on Windows.
  std::optional<std::string> Get(std::string_view ASection, std::string_view AKey) const;
  void Set(std::string_view ASection, std::string_view AKey, std::string_view AValue);
  std::string Serialize() const;

 private:
  struct TLocation {
    std::optional<std::size_t> SectionLine;  // the "[Section]" header
    std::optional<std::size_t> KeyLine;      // the "key=value" line
    std::size_t InsertAt = 0;                // after the section's last non-blank line
  };
  TLocation Locate(std::string_view ASection, std::string_view AKey) const;

  std::vector<std::string> FLines;
  std::string FLineBreak = "\n";
};

}  // namespace kestrill
