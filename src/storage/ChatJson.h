// The JSON layout of the chat files and the catalogue: UTF-8 with a byte order mark, four
// spaces a level, CR LF, and only the escapes \" \\ \/ \b \t \n \f \r. Written by our own
// writer so the bytes never depend on a library's formatting; read with bounds on size and depth.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/JsonPath.h"

namespace kestrill {

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Files larger than this are refused rather than read into memory whole.
inline constexpr std::size_t kMaxChatFileBytes = 256u << 20;

// Streams one top-level array of flat objects (the only shape our files have) in the layout.
class TChatJsonWriter {
 public:
  TChatJsonWriter();  // starts with the byte order mark and "["
  void BeginObject();
  void Member(std::string_view AName, std::string_view AValue);
  void Member(std::string_view AName, bool AValue);
  void EndObject();
  // Any JSON value as one more element of the array (elements of a catalogue we could not read
  // are written back as they came).
  void Element(const TJson& AValue);
  // Closes the array ("]", no line break after it) and hands over the text.
  std::string Finish();

 private:
  void Separate(int AIndent);
  void Value(const TJson& AValue, int AIndent);
  std::string FOut;
  bool FFirstElement = true;
  bool FFirstMember = true;
};

// Appends AText as a JSON string literal with the file escapes; ill-formed UTF-8 becomes U+FFFD
// so the file always reads back.
void AppendChatJsonString(std::string& AOut, std::string_view AText);

// Reads the string member AName of AObject into AOut: absent or null leaves AOut as it is and
// counts as read; any other type is not read (false).
bool ReadStringMember(const TJson& AObject, const char* AName, std::string& AOut);

enum class TJsonFileStatus { Missing, Broken, Ok };

struct TJsonFileRead {
  TJsonFileStatus Status = TJsonFileStatus::Missing;
  TJson Value;        // the document when Ok
  std::string Error;  // Korean, when Broken: why the file could not be read
};

// Reads a file in the layout above: a byte order mark is skipped; control characters that were
// written raw inside strings are accepted. Never throws.
TJsonFileRead ReadChatJsonFile(const std::string& APath);
// The same on text already in memory (Status is never Missing).
TJsonFileRead ParseChatJsonText(std::string_view AText);

}  // namespace kestrill
