// Daishin Securities' CYBOS Plus tools: a stock's current price, and the daily net buying of
// individuals, foreigners and institutions. They answer only while CYBOS Plus is logged in.
// Each returns one Korean text for the model and never throws.
#pragma once

#include <string>

#include "tools/Automation.h"

namespace kestrill {

// StockCode: six digits (005930) or with its "A" prefix (A005930).
std::string GetStockPriceFromDaishin(const std::string& StockCode,
                                     const TAutomationStarter& AStart = StartAutomation);

// ATargetCode: a stock code, or an index code starting with "U" (U001). At most ADays rows.
std::string GetDaishinInvestorTrend(const std::string& ATargetCode, int ADays,
                                    const TAutomationStarter& AStart = StartAutomation);

}  // namespace kestrill
