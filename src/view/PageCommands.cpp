#include "view/PageCommands.h"

#include <vector>

#include "core/TextEncoding.h"

namespace kestrill {

std::optional<TPageCommand> ParsePageCommand(std::string_view AUrl) {
  constexpr std::string_view kScheme = "chatui://";
  if (AUrl.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  std::vector<std::string_view> Pieces;
  std::size_t Start = 0;
  for (;;) {
    std::size_t Slash = AUrl.find('/', Start);
    Pieces.push_back(AUrl.substr(Start, Slash == std::string_view::npos ? Slash : Slash - Start));
    if (Slash == std::string_view::npos || Pieces.size() == 4) break;
    Start = Slash + 1;
  }
  if (Pieces.size() < 4) return std::nullopt;
  // The fourth piece ends at the next "/" (further pieces are ignored).
  std::string_view Target = Pieces[3];
  if (auto Slash = Target.find('/'); Slash != std::string_view::npos)
    Target = Target.substr(0, Slash);
  return TPageCommand{std::string(Pieces[2]), std::string(Target)};
}

std::string PercentDecoded(std::string_view AText) {
  auto Hex = [](char C) -> int {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
  };
  std::string Out;
  Out.reserve(AText.size());
  for (std::size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '%' && I + 2 < AText.size() && Hex(AText[I + 1]) >= 0 &&
        Hex(AText[I + 2]) >= 0) {
      Out += static_cast<char>(Hex(AText[I + 1]) * 16 + Hex(AText[I + 2]));
      I += 2;
    } else {
      Out += AText[I];
    }
  }
  return SanitizeUtf8(Out);
}

}  // namespace kestrill
