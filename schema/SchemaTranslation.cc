// Translation lookups of the schema: labels, loader messages and the reordering texts all come from the
// application's catalogue through the current wxLocale.
#include <wx/intl.h>

#include "SchemaInternal.h"

namespace zr_schema {

wxString Translate(const wxString& key) {
  wxLocale* locale = wxGetLocale();
  if (!locale) return key;
  return locale->GetString(key);
}

wxString LocalizedLabel(const char* prefix, const wxString& name) {
  wxString key = FromBytes(prefix) + name;
  wxString text = Translate(key);
  return text == key ? name : text;
}

}  // namespace zr_schema
