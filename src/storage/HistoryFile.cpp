#include "storage/HistoryFile.h"

#include "core/TextEncoding.h"
#include "storage/ChatJson.h"

namespace kestrill {
std::string FormatHistoryFile(const TChatHistory& AHistory) {
  TChatJsonWriter W;
  for (const TChatMessage& M : AHistory) {
    W.BeginObject();
    W.Member("msgId", M.MsgID);
    W.Member("role", M.Role);
    W.Member("text", M.Text);
    W.Member("attached", M.AttachedFilePath);
    W.Member("mimetype", M.MimeType);
    if (M.HasToolCall) {
      W.Member("hastoolcall", true);
      W.Member("toolname", M.ToolName);
      W.Member("toolargs", M.ToolArgs);
    }
    W.EndObject();
  }
  return W.Finish();
}

THistoryRead ReadHistoryDocument(const TJson& ADocument, bool AKeepToolMessages) {
  THistoryRead R;
  if (!ADocument.is_array()) return R;
  R.Messages.reserve(ADocument.size());
  for (const TJson& E : ADocument) {
    if (!E.is_object()) {
      ++R.SkippedBadElements;
      continue;
    }
    TChatMessage M;
    bool Ok = ReadStringMember(E, "msgId", M.MsgID) && ReadStringMember(E, "role", M.Role) &&
              ReadStringMember(E, "text", M.Text) &&
              ReadStringMember(E, "attached", M.AttachedFilePath) &&
              ReadStringMember(E, "mimetype", M.MimeType);
    auto Flag = E.find("hastoolcall");
    if (Flag != E.end() && !Flag->is_null()) {
      if (Flag->is_boolean())
        M.HasToolCall = Flag->get<bool>();
      else
        Ok = false;
    }
    if (Ok && M.HasToolCall)
      Ok = ReadStringMember(E, "toolname", M.ToolName) &&
           ReadStringMember(E, "toolargs", M.ToolArgs);
    if (!Ok) {
      ++R.SkippedBadElements;
      continue;
    }
    // Tool results and tool requests (no text) are not part of a reopened chat.
    if (!AKeepToolMessages && (M.Role == kRoleTool || M.Text.empty())) continue;
    R.Messages.push_back(std::move(M));
  }
  return R;
}

std::string FirstPromptOf(const TJson& ADocument) {
  if (!ADocument.is_array() || ADocument.empty() || !ADocument[0].is_object()) return "";
  std::string Text;
  ReadStringMember(ADocument[0], "text", Text);
  return Text;
}

std::string TitleFromText(const std::string& AText) {
  std::string Cut(Utf16Prefix(AText, 80));
  std::string Out;
  Out.reserve(Cut.size());
  for (std::size_t I = 0; I < Cut.size(); ++I) {
    if (Cut[I] == '\r' && I + 1 < Cut.size() && Cut[I + 1] == '\n') {
      Out += ' ';
      ++I;
    } else {
      Out += Cut[I];
    }
  }
  return Out;
}

}  // namespace kestrill
