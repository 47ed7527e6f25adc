// The fixed texts that open every agent-mode request: the instruction text, the date line,
// and the text block that carries an attached document.
#pragma once

#include <ctime>
#include <string>

namespace kestrill {

extern const std::string kAgentInstructionText;

// "서울 기준 현재 시간은 yyyy-mm-dd hh:nn:ss입니다. ..." from the local clock's reading.
std::string BuildDateLine(const std::tm& ANow);

// "=== [첨부문서: NAME] ===" CR LF, the file's text, CR LF. The file is read now; a file that
// cannot be read throws EFileReadError.
std::string BuildDocumentBlock(const std::string& AFilePath);

}  // namespace kestrill
