// Yahoo Finance tools: the chart service (price history, the body passed on unparsed) and the
// quote-summary service (financial summary, income statements).
#pragma once

#include <stdexcept>
#include <string>

namespace kestrill {

// Raised by GetYahooStockData; the agent turn reports it.
class EYahooError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The chart JSON for the ticker, range and interval; throws EYahooError on any failure.
std::string GetYahooStockData(const std::string& Ticker, const std::string& DateRange,
                              const std::string& Interval);
// An eight-line Korean summary, or a Korean error text. Never throws.
std::string GetYahooFinanceData(const std::string& Ticker);
// A header and one line per period ("annual" in any case, else quarterly). Never throws.
std::string GetYahooFinanceFinancials(const std::string& ATicker, const std::string& APeriod);

// Forgets the quote-summary session (cookie and crumb), so the next call obtains a new one.
void ResetYahooSession();

}  // namespace kestrill
