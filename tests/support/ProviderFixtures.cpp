#include "ProviderFixtures.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "TestEnv.h"
#include "core/FileHelpers.h"
#include "core/JsonPath.h"
#include "core/TextUtil.h"
#include "providers/AgentInstructions.h"
#include "providers/RequestBody.h"

namespace kestrill::testing {

std::string MakePdf(const std::vector<std::string>& APageTexts) {
  const std::size_t Pages = APageTexts.size();
  std::vector<std::string> Objects;  // object N + 1 at index N
  Objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  std::string Kids;
  for (std::size_t I = 0; I < Pages; ++I) Kids += std::to_string(4 + 2 * I) + " 0 R ";
  Objects.push_back("<< /Type /Pages /Kids [" + Kids + "] /Count " + std::to_string(Pages) + " >>");
  Objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (std::size_t I = 0; I < Pages; ++I) {
    Objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 200] /Resources << /Font "
        "<< /F1 3 0 R >> >> /Contents " +
        std::to_string(5 + 2 * I) + " 0 R >>");
    std::string Stream =
        APageTexts[I].empty() ? "" : "BT /F1 14 Tf 20 150 Td (" + APageTexts[I] + ") Tj ET";
    Objects.push_back("<< /Length " + std::to_string(Stream.size()) + " >>\nstream\n" + Stream +
                      "\nendstream");
  }
  std::string Pdf = "%PDF-1.4\n";
  std::vector<std::size_t> Offsets;
  for (std::size_t I = 0; I < Objects.size(); ++I) {
    Offsets.push_back(Pdf.size());
    Pdf += std::to_string(I + 1) + " 0 obj\n" + Objects[I] + "\nendobj\n";
  }
  const std::size_t XRef = Pdf.size();
  Pdf += "xref\n0 " + std::to_string(Objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t Offset : Offsets) {
    char Line[21];
    std::snprintf(Line, sizeof(Line), "%010zu 00000 n \n", Offset);
    Pdf += Line;
  }
  Pdf += "trailer\n<< /Size " + std::to_string(Objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(XRef) + "\n%%EOF\n";
  return Pdf;
}

TAttachmentFiles::TAttachmentFiles() : Folder(MakeTempFolder()) {
  Png = Folder + "/a.png";
  Pdf = Folder + "/r.pdf";
  Csv = Folder + "/report.csv";
  std::string PngBytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  const std::string PdfBytes = MakePdf({"Quarterly report", "Revenue 300 trillion"});
  PdfText = "Quarterly report\n\nRevenue 300 trillion";
  CsvText = "종목,가격\r\n삼성전자,80500\r\n";
  WriteTestFile(Png, PngBytes);
  WriteTestFile(Pdf, PdfBytes);
  WriteTestFile(Csv, CsvText);
  PngBase64 = Base64Encode(PngBytes);
  PdfBase64 = Base64Encode(PdfBytes);
  CsvBase64 = Base64Encode(CsvText);
}

TChatMessage TAttachmentFiles::UserWith(const std::string& AText, const std::string& APath) const {
  TChatMessage M = CreateChatMessage("user", AText);
  M.AttachedFilePath = APath;
  M.MimeType = GetMimeType(APath.substr(APath.rfind('.')));
  M.ImageBase64 = ImageToBase64(APath);
  return M;
}

TChatHistory AttachmentConversation(const TAttachmentFiles& F) {
  return {F.UserWith("see", F.Png), CreateChatMessage("model", "  보았습니다  "),
          F.UserWith("", F.Pdf), F.UserWith("표 요약", F.Csv)};
}

TChatHistory AgentRunConversation(const TAttachmentFiles& F) {
  const std::string Parts =
      R"([{"text":"조회하겠습니다."},{"functionCall":{"name":"get_yahoo_price","args":{"ticker":"005930.KS"},"id":"call_1"}},{"functionCall":{"name":"get_financials","args":{}}}])";
  TChatHistory H{CreateChatMessage("user", "삼성전자 주가?"),
                 CreateChatMessage("model", "이전 답변"), F.UserWith("지금은?", F.Csv),
                 CreateChatMessage("assistant", "조회하겠습니다.")};
  TChatMessage Req1 = CreateChatMessage("assistant", "");
  Req1.HasToolCall = true;
  Req1.ToolCallId = "call_1";
  Req1.ToolName = "get_yahoo_price";
  Req1.ToolArgs = R"({"ticker":"005930.KS"})";
  Req1.RawPartsJSON = Parts;
  Req1.ReasoningContent = "생각";
  TChatMessage Res1 = CreateChatMessage("tool", R"({"price": 80500})");
  Res1.HasToolCall = true;
  Res1.ToolCallId = "call_1";
  Res1.ToolName = "get_yahoo_price";
  TChatMessage Req2 = CreateChatMessage("assistant", "");
  Req2.HasToolCall = true;
  Req2.ToolName = "get_financials";
  Req2.ToolArgs = "not json";
  Req2.RawPartsJSON = Parts;
  TChatMessage Res2 = CreateChatMessage("tool", "재무 정보");
  Res2.HasToolCall = true;
  Res2.ToolName = "get_financials";
  H.insert(H.end(), {Req1, Res1, Req2, Res2});
  return H;
}

void AddSampleTools(TOpenAPIToolManager& M) {
  M.AddTool("get_yahoo_price", "야후 파이낸스 현재가")
      .AddStringParam("ticker", "티커", true)
      .AddIntParam("days", "기간", false);
  M.FEnableGeminiGoogleSearch = true;
}

std::tm SampleNow() {
  std::tm T{};
  T.tm_year = 2026 - 1900;
  T.tm_mon = 11;
  T.tm_mday = 10;
  T.tm_hour = 9;
  T.tm_min = 5;
  T.tm_sec = 3;
  return T;
}

std::string ExpectedBody(std::string T, const std::map<std::string, std::string>& AValues) {
  // Longest names first, so "$PDFTEXT" is not taken for "$PDF".
  std::vector<std::pair<std::string, std::string>> Sorted(AValues.begin(), AValues.end());
  std::sort(Sorted.begin(), Sorted.end(),
            [](const auto& A, const auto& B) { return A.first.size() > B.first.size(); });
  for (const auto& [Name, Value] : Sorted) {
    std::string Escaped = CompactJson(TJson(Value));
    Escaped = Escaped.substr(1, Escaped.size() - 2);
    for (std::size_t At = T.find(Name); At != std::string::npos;
         At = T.find(Name, At + Escaped.size()))
      T.replace(At, Name.size(), Escaped);
  }
  return CompactJson(TJson::parse(T));
}

std::map<std::string, std::string> StandardValues(const TAttachmentFiles& F) {
  return {{"$PNG", F.PngBase64},
          {"$PDF", F.PdfBase64},
          {"$CSV", F.CsvBase64},
          {"$PDFTEXT", F.PdfText},
          {"$CSVTEXT", F.CsvText},
          {"$INSTR", kAgentInstructionText},
          {"$DATE", BuildDateLine(SampleNow())}};
}

}  // namespace kestrill::testing
