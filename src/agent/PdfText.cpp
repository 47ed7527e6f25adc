#include "agent/PdfText.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <climits>
#include <exception>
#include <memory>
#include <mutex>

#include "core/TextUtil.h"

namespace kestrill {
namespace {

// Poppler reports every damaged object on standard error; a terminal user would see noise.
void SilencePoppler() {
  static std::once_flag Once;
  std::call_once(
      Once, [] { poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr); });
}

// Cuts AText to at most AMax bytes without splitting a UTF-8 character.
void CutUtf8(std::string& AText, std::size_t AMax) {
  if (AText.size() <= AMax) return;
  std::size_t End = AMax;
  while (End > 0 && (static_cast<unsigned char>(AText[End]) & 0xC0) == 0x80) --End;
  AText.resize(End);
}

}  // namespace

std::string PdfTextForModel(std::string_view ABytes) {
  SilencePoppler();
  if (ABytes.size() > static_cast<std::size_t>(INT_MAX))
    return "(PDF가 너무 커서 텍스트를 읽을 수 없습니다.)";
  try {
    std::unique_ptr<poppler::document> Doc(
        poppler::document::load_from_raw_data(ABytes.data(), static_cast<int>(ABytes.size())));
    if (!Doc) return "(PDF를 읽을 수 없습니다. 손상되었거나 PDF가 아닌 파일입니다.)";
    if (Doc->is_locked()) return "(암호로 보호된 PDF라 텍스트를 읽을 수 없습니다.)";
    std::string Text;
    bool Cut = false;
    const int Pages = Doc->pages();
    for (int I = 0; I < Pages; ++I) {
      if (I >= kMaxPdfPages || Text.size() >= kMaxPdfTextBytes) {
        Cut = true;
        break;
      }
      std::unique_ptr<poppler::page> Page(Doc->create_page(I));
      if (!Page) continue;
      poppler::byte_array Utf8 =
          Page->text(poppler::rectf(), poppler::page::physical_layout).to_utf8();
      // Poppler ends a page with a form feed; pages are told apart by a blank line instead.
      std::string PageText(Utf8.begin(), Utf8.end());
      std::erase(PageText, '\f');
      while (!PageText.empty() && static_cast<unsigned char>(PageText.back()) <= ' ')
        PageText.pop_back();
      if (PageText.empty()) continue;
      if (!Text.empty()) Text += "\n\n";
      Text += PageText;
    }
    if (Text.size() > kMaxPdfTextBytes) {
      CutUtf8(Text, kMaxPdfTextBytes);
      Cut = true;
    }
    if (Trim(Text).empty())
      return "(PDF에서 텍스트를 찾을 수 없습니다. 스캔한 이미지로 된 문서일 수 있습니다.)";
    if (Cut) Text += "\n(문서가 길어 여기까지만 보냅니다.)";
    return Text;
  } catch (const std::exception&) {
    return "(PDF를 읽을 수 없습니다. 손상되었거나 PDF가 아닌 파일입니다.)";
  }
}

}  // namespace kestrill
