// Request documents whose Base64 attachments stay out of the JSON tree: each is put in as a
// short marker and spliced into the serialised text, so a multi-megabyte attachment is copied
// once into the body instead of into the tree, the serialiser and then the body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/JsonPath.h"

namespace kestrill {

class TRequestBody {
 public:
  TRequestBody();

  // A JSON string value that serialises as APrefix + ARaw. ARaw must outlive Serialize(); when
  // it holds anything but Base64 characters it is copied into the value like any text.
  TJson Raw(std::string_view APrefix, const std::string& ARaw);

  // Compact JSON (no white space, non-ASCII as is, invalid UTF-8 replaced) with every marker
  // replaced by its raw text.
  std::string Serialize(const TJson& ADocument) const;

 private:
  std::string FMarkerBase;  // unique per body, so no user text can look like a marker
  std::vector<const std::string*> FRaw;
};

// Compact serialisation shared by every request: non-ASCII written as is.
std::string CompactJson(const TJson& AValue);

}  // namespace kestrill
