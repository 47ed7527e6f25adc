// KRX (Korea Exchange) Open API tools: one stock's closing price and the market indices of one
// trading day. Each returns Korean text lines for the model and never throws.
#pragma once

#include <string>

namespace kestrill {

// AStockCode: the six-digit short code (005930); ADate: yyyymmdd, or empty for the service's
// default day.
std::string GetKRXDailyPrice(const std::string& APIKey, const std::string& AStockCode,
                             const std::string& ADate);

// Every row the index service returns for the day (AIndexName is sent, not used to filter).
std::string GetKRXIndexPrice(const std::string& APIKey, const std::string& AIndexName,
                             const std::string& ADate);

// Form encoding of a query value: UTF-8 bytes as %XX (upper-case hex), a space as "+".
std::string FormEncode(const std::string& AText);

}  // namespace kestrill
