#include "storage/HistoryFile.h"

#include "core/TextEncoding.h"
#include "core/TextUtil.h"
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
    // An object without one of our roles is not a message (a catalogue entry, foreign JSON).
    if (Ok && M.Role != kRoleUser && M.Role != kRoleModel && M.Role != kRoleAssistant &&
        M.Role != kRoleTool)
      Ok = false;
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

std::string TitleFromText(const std::string& AText) { return OneLine(Utf16Prefix(AText, 80)); }

std::string OneLine(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  bool InRun = false;
  for (char C : AText) {
    const bool Break = C == '\r' || C == '\n' || C == '\t';
    if (!Break)
      Out += C;
    else if (!InRun)
      Out += ' ';
    InRun = Break;
  }
  return Trim(Out);
}

}  // namespace kestrill
