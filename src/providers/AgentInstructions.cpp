#include "providers/AgentInstructions.h"

#include <cstdio>

#include "agent/PdfText.h"
#include "core/FileHelpers.h"
#include "core/Paths.h"

namespace kestrill {

// One line, 701 characters, ending in a space.
const std::string kAgentInstructionText =
    "1. 페르소나 및 기본 원칙 (객관성 유지) \"당신은 전문적이고 객관적인 금융 및 주식 분석 AI "
    "에이전트입니다. "
    "사용자의 질문에 감정을 배제하고 오직 사실과 데이터에 기반하여 답변해야 합니다. 특정 종목을 "
    "맹목적으로 추천하거나 "
    "비난하지 마세요.\" 2. 환각(Hallucination) 방지 및 도구 사용 강제 ⭐ (가장 중요) \"주가, "
    "시가총액, 거래량, 환율, 재무제표 등 수치 데이터는 절대 당신의 과거 지식으로 임의로 "
    "생성(Hallucination)하지 "
    "마세요. 사용자가 시세나 수치를 물어보면 반드시 실시간 최신 데이터를 확인한 후 답변해야 "
    "합니다. 만약 도구를 "
    "통해 데이터를 얻지 못했다면 [데이터 확인 불가]라고 솔직하게 답하세요.\" 실시간 데이터는 "
    "증권사 API -> "
    "야후 파이낸스 -> 웹 검색 순으로 검색합니다. 3. 출력 포맷 지정 (가독성 극대화) \"데이터를 "
    "출력할 때는 "
    "다음 규칙을 엄격히 지키세요: 여러 종목의 시세나 비교 데이터를 제공할 때는 반드시 마크다운 "
    "표(Markdown "
    "Table) 형식을 사용하세요. 숫자는 천 단위 콤마를 찍어서 표기하고 (예: 80,500원) 매우 큰 숫자는 "
    "백만 또는 억 단위로 표기하세요. 등락률이나 증감액을 표시할 때는 상승은 빨간색 또는 \"+\", "
    "하락은 파란색 "
    "또는 \"-\" 기호를 명확히 붙이세요. 긴 뉴스나 실적 발표 내용은 5~10줄의 글머리 기호(-, *)를 "
    "사용하여 "
    "요약하세요.\" ";

std::string BuildDateLine(const std::tm& ANow) {
  char Stamp[80];
  std::snprintf(Stamp, sizeof(Stamp), "%04d-%02d-%02d %02d:%02d:%02d", ANow.tm_year + 1900,
                ANow.tm_mon + 1, ANow.tm_mday, ANow.tm_hour, ANow.tm_min, ANow.tm_sec);
  return std::string("서울 기준 현재 시간은 ") + Stamp +
         "입니다. 기준 년도/월/일을 참고할 때는 이 날짜를 기준으로 하세요.";
}

TAttachmentKind AttachmentKindOf(const TChatMessage& M) {
  if (M.MimeType.rfind("image", 0) == 0) return TAttachmentKind::Image;
  if (M.MimeType == "application/pdf") return TAttachmentKind::Pdf;
  return TAttachmentKind::Text;
}

std::string BuildDocumentBlock(const TChatMessage& M) {
  const std::string Bytes = Base64ToBytes(M.ImageBase64);
  const std::string Text = AttachmentKindOf(M) == TAttachmentKind::Pdf
                               ? PdfTextForModel(Bytes)
                               : DecodeTextAutoEncoding(Bytes);
  return "=== [첨부문서: " + FileNameOfPath(M.AttachedFilePath) + "] ===\r\n" + Text + "\r\n";
}

std::string BuildImageNote(const TChatMessage& M) {
  return "=== [첨부 이미지: " + FileNameOfPath(M.AttachedFilePath) +
         "] ===\r\n(이 모델에는 이미지를 보낼 수 없어 빠졌습니다.)\r\n";
}

}  // namespace kestrill
