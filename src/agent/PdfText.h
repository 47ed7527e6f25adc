// The text of a PDF, for the providers that take no files (DeepSeek, Ollama): they get what the
// document says instead of its bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrill {

// Bounds on what one document may add to a request: a model's context is far smaller.
inline constexpr int kMaxPdfPages = 500;
inline constexpr std::size_t kMaxPdfTextBytes = 512 * 1024;

// The text of the PDF in ABytes, page after page (a blank line between pages), laid out as on
// the page so that table columns stay apart. A document that cannot be
// read (damaged, password-protected) or holds no text (a scan) gives a short Korean note in
// parentheses instead, so the model can tell the user why it sees nothing. Never throws.
std::string PdfTextForModel(std::string_view ABytes);

}  // namespace kestrill
