#include "view/PageCommands.h"

#include <vector>

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

}  // namespace kestrill
