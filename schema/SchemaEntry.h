// What can stand in a contact form's entry list and carry modifiers: attributes (contact fields), boxes
// (attributes shown together on a tab) and field types (the combo types). Built by the schema parser and
// owned by whatever list holds them; the schema registry keeps them for the life of the process. Read-only
// after the load: any thread.
//
// Each object owns its modifier list and the modifiers in it; boxes and types also own their attribute
// lists and the attributes in them. Adopt... stores a list and takes ownership of it, without freeing the
// list stored before. Copies are deep: a copy owns copies of every child list and child, so it can be read
// and destroyed independently of its source.
#ifndef ZRAPPAPI_SCHEMAENTRY_H
#define ZRAPPAPI_SCHEMAENTRY_H

#include <wx/string.h>

#include "List.h"
#include "SchemaModifier.h"
#include "ZrAppApiExport.h"

class ZRAPPAPI_EXPORT SchemaEntry {
 public:
  SchemaEntry();
  explicit SchemaEntry(List<SchemaModifier*>* modifiers);  // adopted
  SchemaEntry(const SchemaEntry& other);
  SchemaEntry& operator=(const SchemaEntry& other);
  virtual ~SchemaEntry();
  // 1 attribute, 2 box, 3 combo type.
  virtual int GetType() const = 0;

  List<SchemaModifier*>* GetModifiers() const { return modifiers; }
  void AdoptModifiers(List<SchemaModifier*>* list) { modifiers = list; }
  // The value of the first modifier whose key equals key exactly; empty when there is none.
  wxString GetModifier(const wxString& key) const;
  // The modifier read as a whole base-10 number (leading blanks allowed), otherwise defaultValue.
  long GetModifierLong(const wxString& key, long defaultValue) const;
  // The modifier when non-empty, otherwise defaultValue.
  wxString GetModifierString(const wxString& key, const wxString& defaultValue) const;

 protected:
  List<SchemaModifier*>* modifiers;
};

// One contact attribute: its name (cn, mail) and its display label or the label's translation suffix. In
// the import map, display is the suite's own name for the imported attribute.
class ZRAPPAPI_EXPORT SchemaAttr : public SchemaEntry {
 public:
  // Strings copied, modifier list adopted.
  SchemaAttr(const wxString& attr, const wxString& display, List<SchemaModifier*>* modifiers);
  SchemaAttr(const SchemaAttr& other) = default;
  SchemaAttr& operator=(const SchemaAttr& other) = default;
  ~SchemaAttr() override;
  int GetType() const override;

  wxString GetAttr() const { return attr; }
  wxString GetDisplay() const { return display; }
  // The translation of prefix + display, or display itself when there is none.
  wxString GetLocalizedDisplay(const char* prefix) const;

 private:
  wxString attr;
  wxString display;
};

// A named group of attributes on a tab.
class ZRAPPAPI_EXPORT SchemaBox : public SchemaEntry {
 public:
  SchemaBox();
  SchemaBox(const SchemaBox& other);
  SchemaBox& operator=(const SchemaBox& other);
  ~SchemaBox() override;
  int GetType() const override;

  wxString GetName() const { return name; }
  void SetName(const wxString& newName) { name = newName; }
  List<SchemaAttr*>* GetAttrs() const { return attrs; }
  void AdoptAttrs(List<SchemaAttr*>* list) { attrs = list; }
  int GetSize() const { return attrs->GetSize(); }
  // The translation of prefix + name, or name itself when there is none.
  wxString GetLocalizedName(const char* prefix) const;

 private:
  wxString name;
  List<SchemaAttr*>* attrs;
};

// A field type: a named set of attributes. Only its subclasses are instantiated.
class ZRAPPAPI_EXPORT SchemaType : public SchemaEntry {
 public:
  SchemaType();
  SchemaType(const SchemaType& other);
  SchemaType& operator=(const SchemaType& other);
  ~SchemaType() override;
  int GetType() const override = 0;

  wxString GetName() const { return name; }
  void SetName(const wxString& newName) { name = newName; }
  List<SchemaAttr*>* GetAttrs() const { return attrs; }
  void AdoptAttrs(List<SchemaAttr*>* list) { attrs = list; }
  int GetSize() const { return attrs->GetSize(); }

 private:
  wxString name;
  List<SchemaAttr*>* attrs;
};

// A combo field type: alternative attributes for one field (the e-mail combo).
class ZRAPPAPI_EXPORT SchemaComboType : public SchemaType {
 public:
  SchemaComboType();
  SchemaComboType(const SchemaComboType& other) = default;
  SchemaComboType& operator=(const SchemaComboType& other) = default;
  ~SchemaComboType() override;
  int GetType() const override;
};

#endif
