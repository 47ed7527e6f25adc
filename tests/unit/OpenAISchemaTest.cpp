// Every chat-completions body we send (OpenAI and DeepSeek, plain and tool-enabled, with
// attachments and tool turns) must satisfy OpenAI's published request schema.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validator.hpp>

#include "ProviderFixtures.h"
#include "providers/OpenAIMessages.h"
#include "providers/ToolCalls.h"

using namespace kestrill;
using namespace kestrill::testing;

namespace {

// The published OpenAPI document, with the request body's schema as its root.
const valijson::Schema& RequestSchema() {
  static const std::unique_ptr<valijson::Schema> Schema = [] {
    std::ifstream In(KESTRILL_REFERENCE_DIR "/openai-chat-completions.openapi.json");
    nlohmann::json Doc = nlohmann::json::parse(In);
    Doc["$ref"] = "#/components/schemas/CreateChatCompletionRequest";
    auto S = std::make_unique<valijson::Schema>();
    valijson::SchemaParser Parser(valijson::SchemaParser::kDraft7);
    valijson::adapters::NlohmannJsonAdapter Adapter(Doc);
    Parser.populateSchema(Adapter, *S);
    return S;
  }();
  return *Schema;
}

}  // namespace

namespace kestrill::testing {

// "" when ABody satisfies the schema, else why not (also used by the provider-switching test).
std::string OpenAISchemaViolations(const std::string& ABody) {
  nlohmann::json Body = nlohmann::json::parse(ABody);
  valijson::Validator Validator(valijson::Validator::kStrongTypes);
  valijson::ValidationResults Results;
  valijson::adapters::NlohmannJsonAdapter Adapter(Body);
  if (Validator.validate(RequestSchema(), Adapter, &Results)) return {};
  std::string Out;
  valijson::ValidationResults::Error E;
  while (Results.popError(E)) {
    for (const auto& C : E.context) Out += C;
    Out += ": " + E.description + "\n";
  }
  return Out;
}

}  // namespace kestrill::testing

TEST(OpenAISchema, RequestBodiesValidate) {
  TAttachmentFiles F;
  TChatHistory Attachments = AttachmentConversation(F);
  TChatHistory AgentRun = AgentRunConversation(F);
  for (TChatMessage& M : AgentRun) M.ReasoningContent.clear();  // an OpenAI conversation has none
  TOpenAPIToolManager Tools;
  AddSampleTools(Tools);

  for (const TChatHistory* H : {&Attachments, &AgentRun}) {
    TRequestBody Body;
    std::string Plain = Body.Serialize(BuildOpenAIPlainRequest(*H, "gpt-5-nano", {}, Body));
    EXPECT_EQ(OpenAISchemaViolations(Plain), "") << Plain.substr(0, 400);
    for (TToolsDialect D : {TToolsDialect::OpenAI, TToolsDialect::Deepseek}) {
      std::string Agent = BuildChatCompletionsToolsBody(D, *H, "gpt-5.4-mini", Tools, SampleNow());
      EXPECT_EQ(OpenAISchemaViolations(Agent), "") << Agent.substr(0, 400);
    }
  }
}

TEST(OpenAISchema, CatchesAnInvalidBody) {
  // The check itself works: a "model" role and a tool message without its call id are refused.
  EXPECT_NE(OpenAISchemaViolations(R"({"model":"m","messages":[{"role":"model","content":"x"}]})"),
            "");
  EXPECT_NE(OpenAISchemaViolations(R"({"model":"m","messages":[{"role":"tool","content":"x"}]})"),
            "");
}
