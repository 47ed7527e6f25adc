#include "providers/ToolCallIds.h"

#include <cstdint>
#include <cstdio>

namespace kestrill {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);
constexpr std::size_t kMaxIdLength = 40;  // OpenAI's limit; Claude's is larger

bool IsIdChar(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '_' ||
         C == '-';
}

}  // namespace

std::string PortableToolCallId(const std::string& AId, const std::string& AMsgId) {
  if (AId.empty()) {
    std::string Id = "call_";
    for (char C : AMsgId)
      if (IsIdChar(C) && C != '-' && C != '_') Id += C;
    return Id.size() > kMaxIdLength ? Id.substr(0, kMaxIdLength) : Id;
  }
  if (AId.size() > kMaxIdLength) {
    std::uint64_t Hash = 14695981039346656037ull;  // FNV-1a: stable across runs and builds
    for (unsigned char C : AId) Hash = (Hash ^ C) * 1099511628211ull;
    char Hex[17];
    std::snprintf(Hex, sizeof(Hex), "%016llx", static_cast<unsigned long long>(Hash));
    return std::string("call_") + Hex;
  }
  std::string Id = AId;
  for (char& C : Id)
    if (!IsIdChar(C)) C = '_';
  return Id;
}

TToolCallIds::TToolCallIds(const TChatHistory& H)
    : FIds(H.size()), FResultOf(H.size(), kNone), FCallOf(H.size(), kNone) {
  std::vector<std::size_t> Open;  // requests still waiting for their result, oldest first
  auto Take = [&](auto AMatches) -> std::size_t {
    for (auto It = Open.rbegin(); It != Open.rend(); ++It) {
      if (!AMatches(H[*It])) continue;
      std::size_t Call = *It;
      Open.erase(std::next(It).base());
      return Call;
    }
    return kNone;
  };
  for (std::size_t I = 0; I < H.size(); ++I) {
    const TChatMessage& M = H[I];
    if (!M.HasToolCall) continue;
    if (M.Role == kRoleAssistant) {
      FIds[I] = PortableToolCallId(M.ToolCallId, M.MsgID);
      Open.push_back(I);
    } else if (M.Role == kRoleTool) {
      std::size_t Call = kNone;
      if (!M.ToolCallId.empty())
        Call = Take([&](const TChatMessage& C) { return C.ToolCallId == M.ToolCallId; });
      if (Call == kNone)
        Call = Take([&](const TChatMessage& C) {
          return C.ToolCallId.empty() == M.ToolCallId.empty() && C.ToolName == M.ToolName;
        });
      if (Call == kNone) Call = Take([](const TChatMessage&) { return true; });
      if (Call == kNone) {
        FIds[I] = PortableToolCallId(M.ToolCallId, M.MsgID);
      } else {
        FIds[I] = FIds[Call];
        FResultOf[Call] = I;
        FCallOf[I] = Call;
      }
    }
  }
}

std::optional<std::size_t> TToolCallIds::Link(const std::vector<std::size_t>& ALinks,
                                              std::size_t AIndex) {
  if (AIndex >= ALinks.size() || ALinks[AIndex] == kNone) return std::nullopt;
  return ALinks[AIndex];
}

}  // namespace kestrill
