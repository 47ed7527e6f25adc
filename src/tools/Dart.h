// DART (the Korean electronic disclosure system) tools: a company's key accounts for one report,
// and the list of its disclosures. Each returns one Korean text for the model and never throws.
#pragma once

#include <string>

namespace kestrill {

// The most disclosures one search lists.
inline constexpr int MAX_RESULTS = 20;

// AReprtCode: 11011 annual, 11012 half-year, 11013 first quarter, 11014 third quarter.
std::string GetDARTFinancialInfo(const std::string& APIKey, const std::string& ACorpCode,
                                 const std::string& AYear, const std::string& AReprtCode);

// Any of the last five may be empty; AKeyword filters report names, ignoring letter case.
std::string SearchDARTDisclosures(const std::string& APIKey, const std::string& ACorpCode,
                                  const std::string& AStartDate, const std::string& AEndDate,
                                  const std::string& AType, const std::string& AKeyword);

}  // namespace kestrill
