#include "providers/StreamAssembler.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "agent/ResponseParser.h"
#include "core/JsonPath.h"
#include "core/TextEncoding.h"
#include "core/TextUtil.h"

namespace kestrill {

namespace {

constexpr char kCutOff[] = "응답이 끝나기 전에 스트림이 끊겼습니다.";
constexpr char kNotJson[] = "스트림에 JSON이 아닌 데이터가 있습니다.";

// Claude numbers every block of a reply (texts, thoughts, tool calls): room for each call the
// reply may make with a text and thoughts around it.
constexpr std::uint64_t kMaxClaudeBlocks = 4 * kMaxToolCallsPerReply;

std::string Dump(const TJson& AValue) {
  return AValue.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

bool BoolOr(const TJson& AObject, const char* AName, bool ADefault) {
  auto V = AObject.find(AName);
  return V != AObject.end() && V->is_boolean() ? V->get<bool>() : ADefault;
}

// What an "error" member says went wrong, read as the reply parser reads it: a text, or an
// object's "message" (the object itself when it holds something else). "" when it says nothing:
// null, false, "", {} and the like sit beside perfectly good pieces.
std::string ErrorText(const TJson& AError) {
  if (AError.is_string()) {
    const std::string& T = AError.get_ref<const std::string&>();
    return Trim(T).empty() ? std::string() : T;
  }
  if (!AError.is_object()) return {};
  if (auto M = JsonPathText(AError, "message"); M && !Trim(*M).empty()) return *M;
  for (const auto& [Key, Value] : AError.items())
    if (Key != "message") return Dump(AError);
  return {};
}

// A streamed index that must lie in 0 … ALimit-1: its value, or nullopt.
std::optional<std::size_t> IndexBelow(const TJson& AIndex, std::uint64_t ALimit) {
  if (!AIndex.is_number_unsigned() || AIndex.get<std::uint64_t>() >= ALimit) return std::nullopt;
  return static_cast<std::size_t>(AIndex.get<std::uint64_t>());
}

}  // namespace

struct TStreamAssembler::TState {
  TAIProvider Provider;
  TTextObserver OnText;
  std::chrono::milliseconds Every{0};
  // Until the first event every byte fed, as the body may be no stream at all (an error
  // answered as plain JSON); after it only the line not yet complete.
  std::string Buffer;
  std::size_t LineStart = 0;  // where the line not yet complete begins in Buffer
  std::size_t Scanned = 0;    // bytes of Buffer already known to hold no line break
  bool BodyDropped = false;   // Buffer no longer begins with the body's first byte
  std::string EventData;      // the data lines of the server-sent event being read
  std::string Text;           // the reply text so far
  bool Grown = false;         // Text grew since it was last reported
  bool Reported = false;      // LastReport holds a time
  std::chrono::steady_clock::time_point LastReport;
  int Events = 0;                      // events (or lines) that held JSON
  bool Complete = false;               // the stream's own end was seen
  std::optional<std::string> Error;    // what the service said went wrong
  std::optional<std::string> Refusal;  // why the stream cannot be used (the first reason)

  // OpenAI and DeepSeek.
  struct TCall {
    std::string Id, Name, Arguments;
  };
  std::string Reasoning;
  std::map<std::size_t, TCall> ToolCalls;
  TJson FinishReason;
  // Claude.
  struct TBlockText {
    std::optional<std::string> Text, Thinking, Signature;
  };
  TJson Message;
  std::map<std::size_t, TJson> Blocks;
  std::map<std::size_t, TBlockText> BlockTexts;  // appended to the block's own members
  std::map<std::size_t, std::string> PartialJson;
  // Gemini.
  TJson Parts = TJson::array();
  std::string OpenText;  // the text of Parts.back() while later pieces may still join it
  bool TextOpen = false;
  TJson LastResponse;
  // Ollama.
  TJson LastLine;
  TJson OllamaCalls = TJson::array();

  void AddText(std::string_view APiece) {
    if (APiece.empty()) return;
    Text.append(APiece);
    Grown = true;
  }

  void Report(bool AFinal) {
    if (!Grown || !OnText) return;
    if (!AFinal && Every.count() > 0) {
      const auto Now = std::chrono::steady_clock::now();
      if (Reported && Now - LastReport < Every) return;
      LastReport = Now;
      Reported = true;
    }
    Grown = false;
    OnText(Text);
  }

  void Refuse(std::string AWhy) {
    if (!Refusal) Refusal = std::move(AWhy);
  }

  // A text member at APath: absent or null says nothing; a number, list or object where a text
  // belongs makes the reply unreadable (never a piece silently dropped or turned into digits).
  std::optional<std::string> TextAt(const TJson& AObject, std::string_view APath) {
    const TJson* V = FindJsonPath(AObject, APath);
    if (!V || V->is_null()) return std::nullopt;
    if (V->is_string()) return V->get<std::string>();
    Refuse("응답을 읽을 수 없습니다: 스트림의 '" + std::string(APath) + "' 항목이 문자열이 아닙니다.");
    return std::nullopt;
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
    // Read as the unstreamed body is read: a stray invalid byte is replaced, not fatal. Only
    // whole lines get here, and no line break falls inside a character, so a character split
    // between pieces is whole again by now (it waited in the unfinished line).
    std::string Clean;
    if (!IsValidUtf8(AData)) {
      Clean = SanitizeUtf8(AData);
      AData = Clean;
    }
    auto Doc = ParseJson(AData);
    if (!Doc || !Doc->is_object()) {
      Refuse(kNotJson);
      return;
    }
    ++Events;
    if (auto E = Doc->find("error"); E != Doc->end()) {
      std::string Why = ErrorText(*E);
      // Ollama's reply parser counts an empty complaint with nothing beside it as a failure.
      const bool EmptyComplaint = Why.empty() && Provider == aiOllama &&
                                  (E->is_string() || E->is_object()) &&
                                  !(Doc->contains("message") && (*Doc)["message"].is_object());
      if (!Why.empty() || EmptyComplaint) {
        if (!Error) Error = std::move(Why);
        return;
      }
    }
    switch (Provider) {
      case aiOpenAI:
      case aiDeepseek:
        return OpenAIChunk(*Doc);
      case aiClaude:
        return ClaudeEvent(*Doc);
      case aiGemini:
        return GeminiChunk(std::move(*Doc));
      case aiOllama:
        return OllamaLine(std::move(*Doc));
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
    if (auto T = TextAt(*Delta, "reasoning_content")) Reasoning += *T;
    if (auto T = TextAt(*Delta, "content")) AddText(*T);
    auto Calls = Delta->find("tool_calls");
    if (Calls == Delta->end() || !Calls->is_array()) return;
    for (const TJson& Piece : *Calls) {
      if (!Piece.is_object()) continue;
      std::size_t Index = 0;
      if (auto I = Piece.find("index"); I != Piece.end()) {
        // An index out of range would be folded into another call (2^31 and -2^31 both wrap
        // to one int): the reply is refused instead of running a garbled call.
        auto Valid = IndexBelow(*I, kMaxToolCallsPerReply);
        if (!Valid) {
          Refuse("스트림의 도구 호출 번호(" + Dump(*I) + ")가 0~" +
                 std::to_string(kMaxToolCallsPerReply - 1) + " 범위를 벗어났습니다.");
          return;
        }
        Index = *Valid;
      }
      TCall& Call = ToolCalls[Index];
      if (auto Id = TextAt(Piece, "id")) Call.Id += *Id;
      if (auto Name = TextAt(Piece, "function.name")) Call.Name += *Name;
      if (auto Args = TextAt(Piece, "function.arguments")) Call.Arguments += *Args;
    }
  }

  void ClaudeEvent(const TJson& AEvent) {
    const std::string Type = JsonPathTextOr(AEvent, "type", "");
    if (Type == "message_start") {
      if (auto M = AEvent.find("message"); M != AEvent.end() && M->is_object()) Message = *M;
    } else if (Type == "content_block_start" || Type == "content_block_delta") {
      std::size_t Index = 0;
      if (auto I = AEvent.find("index"); I != AEvent.end()) {
        auto Valid = IndexBelow(*I, kMaxClaudeBlocks);
        if (!Valid) {
          Refuse("스트림의 내용 블록 번호(" + Dump(*I) + ")가 0~" +
                 std::to_string(kMaxClaudeBlocks - 1) + " 범위를 벗어났습니다.");
          return;
        }
        Index = *Valid;
      }
      if (Type == "content_block_start") {
        if (auto B = AEvent.find("content_block"); B != AEvent.end() && B->is_object())
          Blocks[Index] = *B;
        return;
      }
      const TJson* Delta = FindJsonPath(AEvent, "delta");
      if (!Delta || !Delta->is_object()) return;
      Blocks[Index];  // a delta without its start still makes a block (the parser refuses it)
      TBlockText& Block = BlockTexts[Index];
      auto Append = [](std::optional<std::string>& AMember, const std::string& APiece) {
        if (!AMember) AMember.emplace();
        *AMember += APiece;
      };
      const std::string Kind = JsonPathTextOr(*Delta, "type", "");
      if (Kind == "text_delta") {
        const std::string Piece = TextAt(*Delta, "text").value_or("");
        Append(Block.Text, Piece);
        AddText(Piece);
      } else if (Kind == "input_json_delta") {
        PartialJson[Index] += TextAt(*Delta, "partial_json").value_or("");
      } else if (Kind == "thinking_delta") {
        Append(Block.Thinking, TextAt(*Delta, "thinking").value_or(""));
      } else if (Kind == "signature_delta") {
        Append(Block.Signature, TextAt(*Delta, "signature").value_or(""));
      }
    } else if (Type == "message_delta") {
      if (const TJson* Delta = FindJsonPath(AEvent, "delta"); Delta && Delta->is_object())
        for (const auto& [Key, Value] : Delta->items()) Message[Key] = Value;
    } else if (Type == "message_stop") {
      Complete = true;
    }
  }

  void CloseText() {
    if (!TextOpen) return;
    Parts.back()["text"] = std::move(OpenText);
    OpenText.clear();
    TextOpen = false;
  }

  void GeminiChunk(TJson&& AChunk) {
    // The last chunk is kept whole (its finish reason and usage go into the body): moved, as a
    // copy of every chunk would cost more than reading it.
    LastResponse = std::move(AChunk);
    // A blocked question ends the stream with the reason and no candidate.
    if (GeminiBlockText(LastResponse)) Complete = true;
    const TJson* Candidate = FindJsonPath(LastResponse, "candidates[0]");
    if (!Candidate || !Candidate->is_object()) return;
    if (auto R = Candidate->find("finishReason"); R != Candidate->end() && !R->is_null())
      Complete = true;
    const TJson* Pieces = FindJsonPath(*Candidate, "content.parts");
    if (!Pieces || !Pieces->is_array()) return;
    for (const TJson& Part : *Pieces) {
      if (!Part.is_object()) continue;
      auto Text = Part.find("text");
      const bool IsText = Text != Part.end() && Text->is_string();
      if (Text != Part.end() && !IsText) TextAt(Part, "text");  // refuses a text of another type
      const bool Thought = BoolOr(Part, "thought", false);
      // Pieces of one text arrive as parts of their own: they become one part again.
      if (IsText && TextOpen && BoolOr(Parts.back(), "thought", false) == Thought) {
        OpenText += Text->get_ref<const std::string&>();
        for (const auto& [Key, Value] : Part.items())
          if (Key != "text") Parts.back()[Key] = Value;
      } else {
        CloseText();
        Parts.push_back(Part);
        if (IsText) {
          OpenText = Text->get<std::string>();
          TextOpen = true;
        }
      }
      if (IsText && !Thought) AddText(Text->get_ref<const std::string&>());
    }
  }

  void OllamaLine(TJson&& ALine) {
    LastLine = std::move(ALine);  // kept whole, like Gemini's last chunk
    if (BoolOr(LastLine, "done", false)) Complete = true;
    const TJson* Msg = FindJsonPath(LastLine, "message");
    if (!Msg || !Msg->is_object()) return;
    if (auto T = TextAt(*Msg, "content")) AddText(*T);
    if (auto Calls = Msg->find("tool_calls"); Calls != Msg->end() && Calls->is_array())
      for (const TJson& C : *Calls) OllamaCalls.push_back(C);
  }

  std::string FailureBody(const std::string& AWhy) const {
    if (Provider == aiOllama) return Dump(TJson{{"error", AWhy}});
    return Dump(TJson{{"error", {{"message", AWhy}}}});
  }

  std::string Assembled() {
    switch (Provider) {
      case aiOpenAI:
      case aiDeepseek: {
        TJson Message = {{"role", "assistant"}};
        Message["content"] = Text.empty() && !ToolCalls.empty() ? TJson(nullptr) : TJson(Text);
        if (!Reasoning.empty()) Message["reasoning_content"] = Reasoning;
        if (!ToolCalls.empty()) {
          Message["tool_calls"] = TJson::array();
          for (auto& [Index, Call] : ToolCalls)
            Message["tool_calls"].push_back(
                {{"id", std::move(Call.Id)},
                 {"type", "function"},
                 {"function",
                  {{"name", std::move(Call.Name)}, {"arguments", std::move(Call.Arguments)}}}});
        }
        return Dump(TJson{{"choices", TJson::array({{{"index", 0},
                                                     {"message", Message},
                                                     {"finish_reason", FinishReason}}})}});
      }
      case aiClaude:
        return ClaudeAssembled();
      case aiGemini: {
        CloseText();
        // Read as the unstreamed body is read: the block and its reason, not an empty reply.
        if (Parts.empty() && GeminiBlockText(LastResponse)) return Dump(LastResponse);
        TJson Out = LastResponse.is_object() ? LastResponse : TJson::object();
        TJson Candidate = Out.contains("candidates") && Out["candidates"].is_array() &&
                                  !Out["candidates"].empty() && Out["candidates"][0].is_object()
                              ? Out["candidates"][0]
                              : TJson::object();
        Candidate["content"] = {{"parts", std::move(Parts)}, {"role", "model"}};
        Out["candidates"] = TJson::array({Candidate});
        return Dump(Out);
      }
      case aiOllama: {
        TJson Out = LastLine.is_object() ? LastLine : TJson::object();
        TJson Msg = {{"role", "assistant"}, {"content", Text}};
        if (!OllamaCalls.empty()) Msg["tool_calls"] = std::move(OllamaCalls);
        Out["message"] = std::move(Msg);
        return Dump(Out);
      }
    }
    return "";
  }

  std::string ClaudeAssembled() {
    TJson Out = Message.is_object() ? Message : TJson::object();
    Out["content"] = TJson::array();
    // Tool inputs that are not one JSON value, by their block's place in "content".
    std::map<std::size_t, std::string> RawInputs;
    for (auto& [Index, Block] : Blocks) {
      TJson B = std::move(Block);
      if (auto T = BlockTexts.find(Index); T != BlockTexts.end()) {
        auto Join = [&B](const char* AMember, std::optional<std::string>& APieces) {
          if (APieces) B[AMember] = JsonPathTextOr(B, AMember, "") + *APieces;
        };
        Join("text", T->second.Text);
        Join("thinking", T->second.Thinking);
        Join("signature", T->second.Signature);
      }
      if (JsonPathTextOr(B, "type", "") == "tool_use") {
        auto Partial = PartialJson.find(Index);
        if (Partial != PartialJson.end() && !Partial->second.empty()) {
          if (auto Input = ParseJson(Partial->second)) {
            B["input"] = std::move(*Input);
          } else {
            // Cut off or nested too deep: written as it came, so the reply parser refuses it
            // exactly as it refuses the same input in an unstreamed body (never an empty {}).
            B.erase("input");
            RawInputs[Out["content"].size()] = std::move(Partial->second);
          }
        } else if (!B.contains("input")) {
          B["input"] = TJson::object();
        }
      }
      Out["content"].push_back(std::move(B));
    }
    if (RawInputs.empty()) return Dump(Out);
    std::string Body = "{";
    for (const auto& [Key, Value] : Out.items()) {
      if (Body.size() > 1) Body += ',';
      Body += Dump(TJson(Key)) + ':';
      if (Key != "content") {
        Body += Dump(Value);
        continue;
      }
      Body += '[';
      for (std::size_t I = 0; I < Value.size(); ++I) {
        if (I > 0) Body += ',';
        std::string Block = Dump(Value[I]);
        if (auto Raw = RawInputs.find(I); Raw != RawInputs.end()) {
          Block.pop_back();  // the closing brace of a tool_use block, which has members
          Block += ",\"input\":" + Raw->second + '}';
        }
        Body += Block;
      }
      Body += ']';
    }
    return Body + '}';
  }
};

TStreamAssembler::TStreamAssembler(TAIProvider AProvider, TTextObserver AOnText,
                                   std::chrono::milliseconds AEvery)
    : FState(std::make_unique<TState>()) {
  FState->Provider = AProvider;
  FState->OnText = std::move(AOnText);
  FState->Every = AEvery;
}

TStreamAssembler::~TStreamAssembler() = default;

void TStreamAssembler::Feed(std::string_view APiece) {
  TState& S = *FState;
  // A CR that ended the last piece may be half of a CR LF: it waits, unscanned, for this one.
  const bool CrWaits = S.Scanned < S.Buffer.size();
  S.Buffer.append(APiece);
  if (!CrWaits && APiece.find_first_of("\r\n") == std::string_view::npos) {
    S.Scanned = S.Buffer.size();  // most pieces of a long line
    return;
  }
  const std::size_t Before = S.Text.size();
  // Lines end with LF, CR LF or a lone CR, as server-sent events allow.
  bool Waiting = false;
  for (std::size_t End; (End = S.Buffer.find_first_of("\r\n", S.Scanned)) != std::string::npos;) {
    if (S.Buffer[End] == '\r' && End + 1 == S.Buffer.size()) {
      S.Scanned = End;
      Waiting = true;
      break;
    }
    S.Line(std::string_view(S.Buffer).substr(S.LineStart, End - S.LineStart));
    const bool CrLf = S.Buffer[End] == '\r' && S.Buffer[End + 1] == '\n';
    S.LineStart = S.Scanned = End + (CrLf ? 2 : 1);
  }
  if (!Waiting) S.Scanned = S.Buffer.size();
  if (S.Events > 0 && S.LineStart > 0) {
    // A stream: the lines read are not needed again and only the unfinished one moves. The
    // first time, the body kept so far goes, with the room it took.
    if (!S.BodyDropped)
      std::string(S.Buffer, S.LineStart).swap(S.Buffer);
    else
      S.Buffer.erase(0, S.LineStart);
    S.BodyDropped = true;
    S.Scanned -= S.LineStart;
    S.LineStart = 0;
  }
  // The clock is read only when the text grew, not for every piece of framing.
  if (S.Text.size() != Before) S.Report(false);
}

std::string TStreamAssembler::Finish() {
  TState& S = *FState;
  // A last line or event without its line break still counts.
  if (S.LineStart < S.Buffer.size()) S.Line(std::string_view(S.Buffer).substr(S.LineStart));
  if (!S.EventData.empty()) S.Line("");
  S.Report(true);
  if (S.Error) return S.FailureBody(*S.Error);
  if (S.Events == 0 && !S.Complete) return std::move(S.Buffer);  // not a stream: plain JSON
  if (S.Refusal) return S.FailureBody(*S.Refusal);
  if (!S.Complete) return S.FailureBody(kCutOff);
  return S.Assembled();
}

const std::string& TStreamAssembler::Text() const { return FState->Text; }

}  // namespace kestrill
