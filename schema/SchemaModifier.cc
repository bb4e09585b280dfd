#include "SchemaModifier.h"

#include "SchemaInternal.h"

SchemaModifier::SchemaModifier(const wxString& key, const wxString& value) : key(key), value(value) {}

namespace zr_schema {

wxString FindModifier(List<SchemaModifier*>* modifiers, const wxString& key) {
  if (!modifiers) return wxString();
  ListIterator<SchemaModifier*> it(*modifiers);
  for (it.First(); !it.IsDone(); it.Next()) {
    SchemaModifier* modifier = it.CurrentItem();
    if (modifier && modifier->GetKey() == key) return modifier->GetValue();
  }
  return wxString();
}

long FindModifierLong(List<SchemaModifier*>* modifiers, const wxString& key, long defaultValue) {
  long number;
  if (FindModifier(modifiers, key).ToLong(&number, 10)) return number;
  return defaultValue;
}

}  // namespace zr_schema
