#include "storage/ChatJson.h"

#include <filesystem>

#include "core/FileIO.h"
#include "core/TextEncoding.h"

namespace kestrill {
namespace {

constexpr std::string_view kNewLine = "\r\n";

void Indent(std::string& AOut, int ALevel) {
  AOut.append(static_cast<std::size_t>(ALevel) * 4, ' ');
}

// Our writer leaves control characters other than the five named ones raw inside strings, as
// the format asks; a strict parser refuses them, so they are turned into \u escapes first.
// Outside strings such bytes are invalid either way.
std::string EscapeRawControls(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size() + 64);
  static const char kHex[] = "0123456789abcdef";
  for (char C : AText) {
    auto U = static_cast<unsigned char>(C);
    if (U < 0x20 && C != '\t' && C != '\n' && C != '\r') {
      Out += "\\u00";
      Out += kHex[U >> 4];
      Out += kHex[U & 15];
    } else {
      Out += C;
    }
  }
  return Out;
}

bool HasRawControls(std::string_view AText) {
  for (char C : AText) {
    auto U = static_cast<unsigned char>(C);
    if (U < 0x20 && C != '\t' && C != '\n' && C != '\r') return true;
  }
  return false;
}

}  // namespace

void AppendChatJsonString(std::string& AOut, std::string_view AText) {
  std::string Clean;
  if (!IsValidUtf8(AText)) {
    Clean = SanitizeUtf8(AText);
    AText = Clean;
  }
  AOut += '"';
  std::size_t Run = 0;  // start of the bytes copied as they are
  for (std::size_t I = 0; I < AText.size(); ++I) {
    const char* Esc = nullptr;
    switch (AText[I]) {
      case '"':
        Esc = "\\\"";
        break;
      case '\\':
        Esc = "\\\\";
        break;
      case '/':
        Esc = "\\/";
        break;
      case '\b':
        Esc = "\\b";
        break;
      case '\t':
        Esc = "\\t";
        break;
      case '\n':
        Esc = "\\n";
        break;
      case '\f':
        Esc = "\\f";
        break;
      case '\r':
        Esc = "\\r";
        break;
      default:
        continue;
    }
    AOut.append(AText.data() + Run, I - Run);
    AOut += Esc;
    Run = I + 1;
  }
  AOut.append(AText.data() + Run, AText.size() - Run);
  AOut += '"';
}

TChatJsonWriter::TChatJsonWriter() {
  FOut.reserve(4096);
  FOut += kUtf8Bom;
  FOut += '[';
}

void TChatJsonWriter::Separate(int AIndent) {
  if (!FFirstElement) FOut += ',';
  FFirstElement = false;
  FOut += kNewLine;
  Indent(FOut, AIndent);
}

void TChatJsonWriter::BeginObject() {
  Separate(1);
  FOut += '{';
  FFirstMember = true;
}

void TChatJsonWriter::Member(std::string_view AName, std::string_view AValue) {
  if (!FFirstMember) FOut += ',';
  FFirstMember = false;
  FOut += kNewLine;
  Indent(FOut, 2);
  AppendChatJsonString(FOut, AName);
  FOut += ": ";
  AppendChatJsonString(FOut, AValue);
}

void TChatJsonWriter::Member(std::string_view AName, bool AValue) {
  if (!FFirstMember) FOut += ',';
  FFirstMember = false;
  FOut += kNewLine;
  Indent(FOut, 2);
  AppendChatJsonString(FOut, AName);
  FOut += AValue ? ": true" : ": false";
}

void TChatJsonWriter::EndObject() {
  FOut += kNewLine;
  Indent(FOut, 1);
  FOut += '}';
}

void TChatJsonWriter::Element(const TJson& AValue) {
  Separate(1);
  Value(AValue, 1);
}

// Values come from documents read with the depth bound, so the recursion is bounded too.
void TChatJsonWriter::Value(const TJson& AValue, int AIndent) {
  if (AValue.is_string()) {
    AppendChatJsonString(FOut, AValue.get_ref<const std::string&>());
  } else if (AValue.is_object() || AValue.is_array()) {
    const bool IsObject = AValue.is_object();
    if (AValue.empty()) {
      FOut += IsObject ? "{}" : "[]";
      return;
    }
    FOut += IsObject ? '{' : '[';
    bool First = true;
    for (auto It = AValue.begin(); It != AValue.end(); ++It) {
      if (!First) FOut += ',';
      First = false;
      FOut += kNewLine;
      Indent(FOut, AIndent + 1);
      if (IsObject) {
        AppendChatJsonString(FOut, It.key());
        FOut += ": ";
      }
      Value(*It, AIndent + 1);
    }
    FOut += kNewLine;
    Indent(FOut, AIndent);
    FOut += IsObject ? '}' : ']';
  } else {
    FOut += AValue.dump();  // numbers, true, false, null
  }
}

std::string TChatJsonWriter::Finish() {
  if (!FFirstElement) FOut += kNewLine;
  FOut += ']';
  return std::move(FOut);
}

bool ReadStringMember(const TJson& AObject, const char* AName, std::string& AOut) {
  auto It = AObject.find(AName);
  if (It == AObject.end() || It->is_null()) return true;
  if (!It->is_string()) return false;
  AOut = It->get<std::string>();
  return true;
}

TJsonFileRead ParseChatJsonText(std::string_view AText) {
  TJsonFileRead R;
  R.Status = TJsonFileStatus::Broken;
  if (AText.size() > kMaxChatFileBytes) {
    R.Error = "파일이 너무 큽니다 (" + std::to_string(AText.size() >> 20) + " MB).";
    return R;
  }
  if (AText.substr(0, kUtf8Bom.size()) == kUtf8Bom) AText.remove_prefix(kUtf8Bom.size());
  if (JsonNestsDeeperThan(AText)) {
    R.Error = "JSON 중첩이 너무 깊습니다.";
    return R;
  }
  std::string Escaped;
  if (HasRawControls(AText)) {
    Escaped = EscapeRawControls(AText);
    AText = Escaped;
  }
  // The depth was checked above; the library parser is called directly so the text is not
  // scanned a second time.
  TJson Doc = TJson::parse(AText.begin(), AText.end(), nullptr, /*allow_exceptions=*/false);
  if (Doc.is_discarded()) {
    R.Error = "올바른 JSON 형식이 아닙니다.";
    return R;
  }
  R.Status = TJsonFileStatus::Ok;
  R.Value = std::move(Doc);
  return R;
}

TJsonFileRead ReadChatJsonFile(const std::string& APath) {
  std::error_code Ec;
  if (!std::filesystem::exists(APath, Ec)) return {};
  TJsonFileRead R;
  R.Status = TJsonFileStatus::Broken;
  TFileBytes File = ReadFileUpTo(APath, kMaxChatFileBytes);
  switch (File.Status) {
    case TReadStatus::Ok:
      return ParseChatJsonText(File.Bytes);
    case TReadStatus::Missing:  // removed since we looked
      return {};
    case TReadStatus::NotAFile:
      R.Error = "일반 파일이 아닙니다 (폴더, 파이프, 장치 등).";
      return R;
    case TReadStatus::TooLarge:
      R.Error = "파일이 너무 큽니다 (" + std::to_string(File.Size >> 20) + " MB, 최대 " +
                std::to_string(kMaxChatFileBytes >> 20) + " MB).";
      return R;
    case TReadStatus::Unreadable:
      break;
  }
  R.Error = "파일을 읽을 수 없습니다.";
  return R;
}

}  // namespace kestrill
