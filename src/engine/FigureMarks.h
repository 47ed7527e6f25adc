// The figure check of agent answers as the page, the export and the terminal take it: for each
// answer that follows tool results, its figures with whether the data backs them and where from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/ChatTypes.h"
#include "figures/FigureCheck.h"
#include "view/ChatView.h"

namespace kestrill {

// "get_dart_financials · 매출액" for a backed figure; both values, joined by ", ", for a derived
// one; "" for an unbacked one.
std::string FigureSourceText(const TFigureCheck& ACheck);

// [{"text", "status", "source"}, ...] in answer order: what the page's markFigures() takes
// (source as FigureSourceText), and with AToolNameOnly what the terminal's --figures file holds
// (source the tool name alone).
std::string FiguresJson(const std::vector<TFigureCheck>& AChecks, bool AToolNameOnly = false);

// "수치 확인: 12개 중 10개 일치 · 2개 확인 안 됨" ("" for no figures).
std::string FigureSummary(const std::vector<TFigureCheck>& AChecks);

// Whether AHistory[AIndex] is an answer whose figures are checked: an agent reply with text
// that comes after a tool result of its chat.
bool IsCheckedAnswer(const TChatHistory& AHistory, std::size_t AIndex);

// Marks the figures of every checked answer of AHistory from AFromIndex on (the answers must be
// on the page with the ids they have in AHistory).
void ShowFiguresOf(IChatView& AView, const TChatHistory& AHistory, std::size_t AFromIndex = 0);

}  // namespace kestrill
