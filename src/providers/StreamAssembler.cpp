#include "providers/StreamAssembler.h"

#include <map>
#include <optional>
#include <vector>

#include "core/JsonPath.h"

namespace kestrill {

namespace {

constexpr char kCutOff[] = "응답이 끝나기 전에 스트림이 끊겼습니다.";
constexpr char kNotJson[] = "스트림에 JSON이 아닌 데이터가 있습니다.";

std::string Dump(const TJson& AValue) {
  return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

}  // namespace

struct TStreamAssembler::TState {
  TAIProvider Provider;
  TTextObserver OnText;
  std::string Pending;      // bytes of a line not yet complete
  std::string EventData;    // the data lines of the server-sent event being read
  std::string Text;         // the reply text so far
  int Events = 0;           // events (or lines) that held JSON
  bool Complete = false;    // the stream's own end was seen
  bool Broken = false;      // something that is not JSON arrived
  std::optional<TJson> Error;  // an error object the stream carried

  // OpenAI and DeepSeek.
  std::string Reasoning;
  std::map<int, TJson> ToolCalls;  // by index: id, type, function{name, arguments}
  TJson FinishReason;
  // Claude.
  TJson Message;
  std::map<int, TJson> Blocks;
  std::map<int, std::string> PartialJson;
  // Gemini.
  TJson Parts = TJson::array();
  TJson LastResponse;
  // Ollama.
  TJson LastLine;
  TJson OllamaCalls = TJson::array();

  void AddText(const std::string& APiece) {
    if (APiece.empty()) return;
    Text += APiece;
    if (OnText) OnText(Text);
  }

  void Line(std::string_view ALine) {
    if (!ALine.empty() && ALine.back() == '\r') ALine.remove_suffix(1);
    if (Provider == aiOllama) {
      if (!ALine.empty()) Json(ALine);
      return;
    }
    if (ALine.empty()) {  // the end of one event
      if (!EventData.empty()) Json(EventData);
      EventData.clear();
      return;
    }
    if (ALine.rfind("data:", 0) != 0) return;  // event names, ids, comments
    ALine.remove_prefix(5);
    if (!ALine.empty() && ALine.front() == ' ') ALine.remove_prefix(1);
    if (!EventData.empty()) EventData += '\n';
    EventData += ALine;
  }

  void Json(std::string_view AData) {
    if (AData == "[DONE]") {
      Complete = true;
      return;
    }
    auto Doc = ParseJson(AData);
    if (!Doc || !Doc->is_object()) {
      Broken = true;
      return;
    }
    ++Events;
    if (auto E = Doc->find("error"); E != Doc->end() && !E->is_null()) {
      Error = *Doc;
      return;
    }
    switch (Provider) {
      case aiOpenAI:
      case aiDeepseek:
        return OpenAIChunk(*Doc);
      case aiClaude:
        return ClaudeEvent(*Doc);
      case aiGemini:
        return GeminiChunk(*Doc);
      case aiOllama:
        return OllamaLine(*Doc);
    }
  }

  void OpenAIChunk(const TJson& AChunk) {
    const TJson* Choice = FindJsonPath(AChunk, "choices[0]");
    if (!Choice || !Choice->is_object()) return;
    if (auto R = Choice->find("finish_reason"); R != Choice->end() && !R->is_null()) {
      FinishReason = *R;
      Complete = true;
    }
    const TJson* Delta = FindJsonPath(*Choice, "delta");
    if (!Delta || !Delta->is_object()) return;
    if (auto T = JsonPathText(*Delta, "reasoning_content")) Reasoning += *T;
    if (auto T = JsonPathText(*Delta, "content")) AddText(*T);
    auto Calls = Delta->find("tool_calls");
    if (Calls == Delta->end() || !Calls->is_array()) return;
    for (const TJson& Piece : *Calls) {
      if (!Piece.is_object()) continue;
      const int Index = Piece.value("index", 0);
      TJson& Call = ToolCalls[Index];
      if (Call.is_null())
        Call = {{"id", ""}, {"type", "function"}, {"function", {{"name", ""}, {"arguments", ""}}}};
      if (auto Id = JsonPathText(Piece, "id")) Call["id"] = Call["id"].get<std::string>() + *Id;
      if (auto Name = JsonPathText(Piece, "function.name"))
        Call["function"]["name"] = Call["function"]["name"].get<std::string>() + *Name;
      if (auto Args = JsonPathText(Piece, "function.arguments"))
        Call["function"]["arguments"] = Call["function"]["arguments"].get<std::string>() + *Args;
    }
  }

  void ClaudeEvent(const TJson& AEvent) {
    const std::string Type = JsonPathTextOr(AEvent, "type", "");
    const int Index = AEvent.value("index", 0);
    if (Type == "message_start") {
      if (auto M = AEvent.find("message"); M != AEvent.end() && M->is_object()) Message = *M;
    } else if (Type == "content_block_start") {
      if (auto B = AEvent.find("content_block"); B != AEvent.end() && B->is_object())
        Blocks[Index] = *B;
    } else if (Type == "content_block_delta") {
      const TJson* Delta = FindJsonPath(AEvent, "delta");
      if (!Delta || !Delta->is_object()) return;
      TJson& Block = Blocks[Index];
      const std::string Kind = JsonPathTextOr(*Delta, "type", "");
      auto Append = [&](const char* AMember, const std::string& APiece) {
        Block[AMember] = JsonPathTextOr(Block, AMember, "") + APiece;
      };
      if (Kind == "text_delta") {
        const std::string Piece = JsonPathTextOr(*Delta, "text", "");
        Append("text", Piece);
        AddText(Piece);
      } else if (Kind == "input_json_delta") {
        PartialJson[Index] += JsonPathTextOr(*Delta, "partial_json", "");
      } else if (Kind == "thinking_delta") {
        Append("thinking", JsonPathTextOr(*Delta, "thinking", ""));
      } else if (Kind == "signature_delta") {
        Append("signature", JsonPathTextOr(*Delta, "signature", ""));
      }
    } else if (Type == "message_delta") {
      if (const TJson* Delta = FindJsonPath(AEvent, "delta"); Delta && Delta->is_object())
        for (const auto& [Key, Value] : Delta->items()) Message[Key] = Value;
    } else if (Type == "message_stop") {
      Complete = true;
    }
  }

  void GeminiChunk(const TJson& AChunk) {
    LastResponse = AChunk;
    const TJson* Candidate = FindJsonPath(AChunk, "candidates[0]");
    if (!Candidate || !Candidate->is_object()) return;
    if (auto R = Candidate->find("finishReason"); R != Candidate->end() && !R->is_null())
      Complete = true;
    const TJson* Pieces = FindJsonPath(*Candidate, "content.parts");
    if (!Pieces || !Pieces->is_array()) return;
    for (const TJson& Part : *Pieces) {
      if (!Part.is_object()) continue;
      auto Text = Part.find("text");
      const bool Thought = Part.value("thought", false);
      // Pieces of one text arrive as parts of their own: they become one part again.
      if (Text != Part.end() && Text->is_string() && !Parts.empty() &&
          Parts.back().contains("text") && Parts.back().value("thought", false) == Thought) {
        TJson& Last = Parts.back();
        Last["text"] = Last["text"].get<std::string>() + Text->get<std::string>();
        for (const auto& [Key, Value] : Part.items())
          if (Key != "text") Last[Key] = Value;
      } else {
        Parts.push_back(Part);
      }
      if (Text != Part.end() && Text->is_string() && !Thought) AddText(Text->get<std::string>());
    }
  }

  void OllamaLine(const TJson& ALine) {
    LastLine = ALine;
    if (ALine.value("done", false)) Complete = true;
    const TJson* Msg = FindJsonPath(ALine, "message");
    if (!Msg || !Msg->is_object()) return;
    if (auto T = JsonPathText(*Msg, "content")) AddText(*T);
    if (auto Calls = Msg->find("tool_calls"); Calls != Msg->end() && Calls->is_array())
      for (const TJson& C : *Calls) OllamaCalls.push_back(C);
  }

  std::string FailureBody(const std::string& AWhy) const {
    if (Provider == aiOllama) return Dump(TJson{{"error", AWhy}});
    return Dump(TJson{{"error", {{"message", AWhy}}}});
  }

  std::string Assembled() const {
    switch (Provider) {
      case aiOpenAI:
      case aiDeepseek: {
        TJson Message = {{"role", "assistant"}};
        Message["content"] = Text.empty() && !ToolCalls.empty() ? TJson(nullptr) : TJson(Text);
        if (!Reasoning.empty()) Message["reasoning_content"] = Reasoning;
        if (!ToolCalls.empty()) {
          Message["tool_calls"] = TJson::array();
          for (const auto& [Index, Call] : ToolCalls) Message["tool_calls"].push_back(Call);
        }
        return Dump(TJson{{"choices", TJson::array({{{"index", 0},
                                                     {"message", Message},
                                                     {"finish_reason", FinishReason}}})}});
      }
      case aiClaude: {
        TJson Out = Message.is_object() ? Message : TJson::object();
        Out["content"] = TJson::array();
        for (const auto& [Index, Block] : Blocks) {
          TJson B = Block;
          if (JsonPathTextOr(B, "type", "") == "tool_use") {
            auto Partial = PartialJson.find(Index);
            if (Partial != PartialJson.end() && !Partial->second.empty()) {
              auto Input = ParseJson(Partial->second);
              B["input"] = Input ? *Input : TJson::object();
            } else if (!B.contains("input")) {
              B["input"] = TJson::object();
            }
          }
          Out["content"].push_back(std::move(B));
        }
        return Dump(Out);
      }
      case aiGemini: {
        TJson Out = LastResponse.is_object() ? LastResponse : TJson::object();
        TJson Candidate = Out.contains("candidates") && Out["candidates"].is_array() &&
                                  !Out["candidates"].empty() && Out["candidates"][0].is_object()
                              ? Out["candidates"][0]
                              : TJson::object();
        Candidate["content"] = {{"parts", Parts}, {"role", "model"}};
        Out["candidates"] = TJson::array({Candidate});
        return Dump(Out);
      }
      case aiOllama: {
        TJson Out = LastLine.is_object() ? LastLine : TJson::object();
        TJson Msg = {{"role", "assistant"}, {"content", Text}};
        if (!OllamaCalls.empty()) Msg["tool_calls"] = OllamaCalls;
        Out["message"] = Msg;
        return Dump(Out);
      }
    }
    return "";
  }
};

TStreamAssembler::TStreamAssembler(TAIProvider AProvider, TTextObserver AOnText)
    : FState(std::make_unique<TState>()) {
  FState->Provider = AProvider;
  FState->OnText = std::move(AOnText);
}

TStreamAssembler::~TStreamAssembler() = default;

void TStreamAssembler::Feed(std::string_view APiece) {
  TState& S = *FState;
  S.Pending.append(APiece);
  std::size_t Start = 0;
  for (std::size_t End; (End = S.Pending.find('\n', Start)) != std::string::npos; Start = End + 1)
    S.Line(std::string_view(S.Pending).substr(Start, End - Start));
  S.Pending.erase(0, Start);
}

std::string TStreamAssembler::Finish(const std::string& AWholeBody) {
  TState& S = *FState;
  // A last line or event without its line break still counts.
  if (!S.Pending.empty()) {
    S.Line(S.Pending);
    S.Pending.clear();
  }
  if (!S.EventData.empty()) S.Line("");
  if (S.Error) return Dump(*S.Error);
  if (S.Events == 0 && !S.Complete) return AWholeBody;  // not a stream: an error as plain JSON
  if (S.Broken) return S.FailureBody(kNotJson);
  if (!S.Complete) return S.FailureBody(kCutOff);
  return S.Assembled();
}

const std::string& TStreamAssembler::Text() const { return FState->Text; }

}  // namespace kestrill
