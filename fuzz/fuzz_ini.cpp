// The settings file as a user may have edited it: every known key is read the way the typed
// readers read it, then one key is written and must read back as written, also after the text
// has been saved and parsed again.
#include <cmath>
#include <string>

#include "FuzzCheck.h"
#include "core/Config.h"
#include "core/IniDocument.h"
#include "core/SettingsKeys.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

using namespace kestrill;

namespace {

struct TKeyName {
  std::string_view Section, Key;
};

constexpr TKeyName kKeys[] = {
    {keys::Left.Section, keys::Left.Key},
    {keys::FontSize.Section, keys::FontSize.Key},
    {keys::Sidebar.Section, keys::Sidebar.Key},
    {keys::Selected.Section, keys::Selected.Key},
    {keys::GeminiKey.Section, keys::GeminiKey.Key},
    {keys::OllamaURL.Section, keys::OllamaURL.Key},
    {keys::Mode.Section, keys::Mode.Key},
    {keys::MaxIterations.Section, keys::MaxIterations.Key},
    {keys::WebSearchKey.Section, keys::WebSearchKey.Key},
    {keys::Command.Section, keys::Command.Key},
    {"Brand New", "Key"},  // a section the file does not have yet
};

void ReadTyped(std::string_view AValue) {
  (void)Utf16Prefix(AValue, 2047);  // the string reader's limit
  int I = 0;
  if (ParseIniInteger(AValue, I)) {
    int Again = 0;
    FUZZ_CHECK(ParseIniInteger(std::to_string(I), Again) && Again == I);
  }
  double D = 0;
  if (ParseIniFloat(AValue, D)) {
    // What WriteFloat stores reads back as the same number.
    double Again = 0;
    FUZZ_CHECK(ParseIniFloat(FormatIniFloat(D), Again));
    FUZZ_CHECK(Again == D || (std::isnan(Again) && std::isnan(D)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  const std::string_view Text = FuzzText(AData, ASize);
  TIniDocument Doc = TIniDocument::Parse(Text);
  for (const TKeyName& K : kKeys)
    if (auto V = Doc.Get(K.Section, K.Key)) ReadTyped(*V);

  // The written value: the file's first line, so the seeds stay plain settings files.
  const std::string_view Value = Text.substr(0, Text.find('\n'));
  const TKeyName& K = kKeys[ASize % std::size(kKeys)];
  Doc.Set(K.Section, K.Key, Value);
  std::string Expected;
  for (char C : Value)
    if (C != '\r' && C != '\n') Expected += C;
  Expected = Trim(Expected);
  FUZZ_CHECK(Doc.Get(K.Section, K.Key) == Expected);

  // A byte order mark at the start of the saved text is taken for the file's own on the next
  // read, which shifts the first line; such a file cannot come from our writer.
  const std::string Saved = Doc.Serialize();
  if (Saved.substr(0, 3) != "\xEF\xBB\xBF")
    FUZZ_CHECK(TIniDocument::Parse(Saved).Get(K.Section, K.Key) == Expected);
  return 0;
}
