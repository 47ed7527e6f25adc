// The fixed texts that open every agent-mode request: the instruction text, the date line,
// and the text block that carries an attached document.
#pragma once

#include <ctime>
#include <string>

#include "core/ChatTypes.h"

namespace kestrill {

extern const std::string kAgentInstructionText;

// "서울 기준 현재 시간은 yyyy-mm-dd hh:nn:ss입니다. ..." from the local clock's reading.
std::string BuildDateLine(const std::tm& ANow);

// What an attachment is, for the providers: each takes images, PDFs and text in its own form.
enum class TAttachmentKind { Image, Pdf, Text };
TAttachmentKind AttachmentKindOf(const TChatMessage& AMessage);

// "=== [첨부문서: NAME] ===" CR LF, the document's text, CR LF. The text comes from the bytes
// read when the message was sent (ImageBase64), never from the file again, so a file moved or
// deleted since does not break the chat; a PDF's text is extracted from them.
std::string BuildDocumentBlock(const TChatMessage& AMessage);

// In place of an image, for the providers that take none: the model learns that the user
// attached one it cannot see.
std::string BuildImageNote(const TChatMessage& AMessage);

}  // namespace kestrill
