// Per-language order of the contact form: the catalogue texts "reorderAbookAttr" and "reorderAbookBoxAttr"
// list, for a tab (and a box of it), the names its entries (attributes) should appear in.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "SchemaInternal.h"
#include "SchemaLoader.h"
#include "SchemaRegistry.h"

using zr_schema::ToBytes;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Trim the text, then cut it at each comma; white space after a comma is dropped, before it kept.
std::vector<std::string> SplitPieces(const wxString& translation) {
  std::string text = ToBytes(translation);
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) begin++;
  while (end > begin && IsBlank(text[end - 1])) end--;
  text = text.substr(begin, end - begin);

  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  for (;;) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) break;
    pieces.push_back(text.substr(0, comma));
    size_t rest = comma + 1;
    while (rest < text.size() && IsBlank(text[rest])) rest++;
    text = text.substr(rest);
  }
  pieces.push_back(text);
  return pieces;
}

std::vector<std::string> PiecesOf(const char* key) {
  wxString keyText = zr_schema::FromBytes(key);
  wxString translation = zr_schema::Translate(keyText);
  if (translation == keyText) return {};
  return SplitPieces(translation);
}

// The text after the first '/', empty when there is none.
const char* AfterSlash(const char* text) {
  const char* slash = strchr(text, '/');
  return slash ? slash + 1 : "";
}

std::string NameOf(SchemaEntry* entry) {
  if (!entry) return std::string();
  if (entry->GetType() == 2) return ToBytes(static_cast<SchemaBox*>(entry)->GetName());
  if (entry->GetType() == 1) return ToBytes(static_cast<SchemaAttr*>(entry)->GetAttr());
  return std::string();
}
std::string NameOf(SchemaAttr* attr) { return attr ? ToBytes(attr->GetAttr()) : std::string(); }

template <typename T>
void Reorder(List<T*>* list, const char* order, List<T*>* dropped) {
  if (!list || !order) return;
  std::vector<std::string> names;
  for (const char* p = order; *p;) {
    const char* slash = strchr(p, '/');
    size_t length = slash ? size_t(slash - p) : strlen(p);
    if (length == 0) break;
    names.emplace_back(p, length);
    if (!slash) break;
    p = slash + 1;
  }

  std::vector<T*> collected;
  for (const std::string& name : names) {
    ListIterator<T*> it(*list);
    for (it.First(); !it.IsDone(); it.Next()) {
      if (NameOf(it.CurrentItem()) == name) collected.push_back(it.CurrentItem());
    }
  }
  if (collected.size() != names.size()) return;

  while (list->GetSize() > 0) {
    T* item = list->RemoveHead();
    bool kept = std::find(collected.begin(), collected.end(), item) != collected.end();
    if (!kept && item && dropped) dropped->Append(item);
  }
  for (T* item : collected) list->Append(item);
}

bool BeginsWith(const std::string& piece, const std::string& name) {
  return strncmp(piece.c_str(), name.c_str(), name.size()) == 0;
}

}  // namespace

void ReorderSchemaList(List<SchemaEntry*>* list, const char* order, List<SchemaEntry*>* dropped) {
  Reorder(list, order, dropped);
}

void ReorderSchemaList(List<SchemaAttr*>* list, const char* order, List<SchemaAttr*>* dropped) {
  Reorder(list, order, dropped);
}

void ReorderSchemaEntries() {
  std::vector<std::string> tabPieces = PiecesOf("reorderAbookAttr");
  std::vector<std::string> boxPieces = PiecesOf("reorderAbookBoxAttr");
  if (tabPieces.empty() && boxPieces.empty()) return;

  // The registry slot, read without triggering a load: this runs at the end of the load itself.
  List<SchemaTab*>* tabs = zr_schema::RegisteredTabList();
  if (!tabs) return;
  ListIterator<SchemaTab*> tabIt(*tabs);
  for (tabIt.First(); !tabIt.IsDone(); tabIt.Next()) {
    SchemaTab* tab = tabIt.CurrentItem();
    if (!tab) continue;
    std::string tabName = ToBytes(tab->GetName());

    for (const std::string& piece : tabPieces) {
      if (BeginsWith(piece, tabName)) {
        ReorderSchemaList(tab->GetEntries(), AfterSlash(piece.c_str()), zr_schema::DroppedEntries());
      }
    }

    for (const std::string& piece : boxPieces) {
      if (!BeginsWith(piece, tabName)) continue;
      // The character after the tab's name separates it from the box's name, whatever it is.
      std::string rest = piece.size() > tabName.size() ? piece.substr(tabName.size() + 1) : std::string();
      size_t slash = rest.find('/');
      size_t boxNameLength = slash == std::string::npos ? rest.size() : slash;
      const char* attrOrder = AfterSlash(rest.c_str());
      List<SchemaEntry*>* entries = tab->GetEntries();
      if (!entries) continue;
      ListIterator<SchemaEntry*> entryIt(*entries);
      for (entryIt.First(); !entryIt.IsDone(); entryIt.Next()) {
        SchemaEntry* entry = entryIt.CurrentItem();
        if (!entry || entry->GetType() != 2) continue;
        SchemaBox* box = static_cast<SchemaBox*>(entry);
        if (strncmp(rest.c_str(), ToBytes(box->GetName()).c_str(), boxNameLength) == 0) {
          ReorderSchemaList(box->GetAttrs(), attrOrder, zr_schema::DroppedAttrs());
        }
      }
    }
  }
}
