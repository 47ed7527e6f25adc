// Conversations and attachment files shared by the provider tests and the benchmark.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "agent/ToolSchema.h"
#include "core/ChatTypes.h"

namespace kestrill::testing {

// A PDF of one page per text (Helvetica, ASCII), as a writer of PDFs makes it.
std::string MakePdf(const std::vector<std::string>& APageTexts);

// A PNG, a two-page PDF and a CSV in a fresh folder, with their Base64 and text (PdfText: the
// PDF's text as the providers that take no files get it).
struct TAttachmentFiles {
  TAttachmentFiles();
  std::string Folder, Png, Pdf, Csv;
  std::string PngBase64, PdfBase64, CsvBase64;
  std::string PdfText, CsvText;

  TChatMessage UserWith(const std::string& AText, const std::string& APath) const;
};

// Chatbot turns with every attachment kind:
// user "see"+PNG, model "  보았습니다  ", user ""+PDF, user "표 요약"+CSV.
TChatHistory AttachmentConversation(const TAttachmentFiles& AFiles);

// A chat begun in chatbot mode and continued by an agent run with two tool calls (the second
// without a provider id and with arguments that are not JSON).
TChatHistory AgentRunConversation(const TAttachmentFiles& AFiles);

// get_yahoo_price(ticker: string, required; days: integer), Google search on.
void AddSampleTools(TOpenAPIToolManager& AManager);

// 2026-12-10 09:05:03, the clock reading the expected bodies are written for.
std::tm SampleNow();

// AJsonTemplate with every "$NAME" replaced by the JSON-escaped text (without quotes) of
// AValues["$NAME"]; then parsed and re-serialised compactly, so the result is the exact bytes
// a request carries.
std::string ExpectedBody(std::string AJsonTemplate,
                         const std::map<std::string, std::string>& AValues);

// The substitutions every expected body uses: $PNG, $PDF, $CSV, $PDFTEXT, $CSVTEXT, $INSTR,
// $DATE.
std::map<std::string, std::string> StandardValues(const TAttachmentFiles& AFiles);

}  // namespace kestrill::testing
