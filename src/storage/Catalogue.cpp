#include "storage/Catalogue.h"

#include <algorithm>

#include "core/TextEncoding.h"
#include "core/TextUtil.h"
#include "storage/ChatJson.h"

namespace kestrill {
std::string FormatCatalogue(const TCatalogueData& AData) {
  TChatJsonWriter W;
  for (const TChatFile& E : AData.Entries) {
    W.BeginObject();
    W.Member("filename", E.FileName);
    W.Member("title", Utf16Prefix(E.Title, 80));
    W.Member("lastModified", E.LastModified);
    W.EndObject();
  }
  for (const TJson& U : AData.Unreadable) W.Element(U);
  return W.Finish();
}

TCatalogueData ReadCatalogueDocument(const TJson& ADocument) {
  TCatalogueData R;
  if (!ADocument.is_array()) return R;
  for (const TJson& E : ADocument) {
    TChatFile F;
    if (E.is_object() && ReadStringMember(E, "filename", F.FileName) &&
        ReadStringMember(E, "title", F.Title) &&
        ReadStringMember(E, "lastModified", F.LastModified))
      R.Entries.push_back(std::move(F));
    else
      R.Unreadable.push_back(E);
  }
  return R;
}

void ApplyCatalogueChanges(TCatalogueData& AData, const std::vector<TCatalogueChange>& AChanges) {
  auto& L = AData.Entries;
  for (const TCatalogueChange& C : AChanges) {
    auto Named = [&C](const TChatFile& E) { return E.FileName == C.FileName; };
    auto First = std::find_if(L.begin(), L.end(), Named);
    if (C.Entry && First != L.end()) {
      *First = *C.Entry;
      L.erase(std::remove_if(First + 1, L.end(), Named), L.end());
    } else if (C.Entry) {
      L.push_back(*C.Entry);
    } else {
      L.erase(std::remove_if(First, L.end(), Named), L.end());
    }
  }
}

void SortNewestFirst(std::vector<TChatFile>& AEntries) {
  std::stable_sort(AEntries.begin(), AEntries.end(), [](const TChatFile& A, const TChatFile& B) {
    return ToLowerAscii(A.LastModified) > ToLowerAscii(B.LastModified);
  });
}

}  // namespace kestrill
