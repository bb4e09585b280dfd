#include "SchemaTestSupport.h"

#include <wx/init.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <fstream>

namespace zr {
namespace test {

namespace {

// The catalogues need an application object; one for the whole program.
class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    mInitializer.reset(new wxInitializer);
    ASSERT_TRUE(mInitializer->IsOk());
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(wxString::FromUTF8(ZR_SCHEMA_TEST_LOCALE_DIR));
  }
  void TearDown() override { mInitializer.reset(); }

 private:
  std::unique_ptr<wxInitializer> mInitializer;
};

::testing::Environment* const gWxEnvironment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

}  // namespace

void SchemaTest::SetUp() {
  Prefs::SetInstallDirectory(Dir().c_str());
  ResetSchemaForTesting();
  DestroyABSchemaErrorListener();
}

void SchemaTest::TearDown() {
  ResetSchemaForTesting();
  DestroyABSchemaErrorListener();
  DropLocale();
  Prefs::SetInstallDirectory(nullptr);
}

void SchemaTest::WriteSchema(const std::string& content) {
  std::ofstream out(SchemaPath(), std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good());
}

std::shared_ptr<ListenerRecord> SchemaTest::RegisterCountingListener() {
  CountingSchemaErrorListener* listener = new CountingSchemaErrorListener;
  std::shared_ptr<ListenerRecord> record = listener->record();
  RegisterABSchemaErrorListener(listener);
  return record;
}

void SchemaTest::UseCatalogue(const char* domain) {
  DropLocale();
  // The C locale keeps number formatting as it is (no "fr" system locale is needed); the catalogue
  // language is set explicitly.
  wxLogNull quiet;
  mLocale.reset(new wxLocale);
  mLocale->Init(wxString::FromUTF8("French"), wxString::FromUTF8("fr"), wxString::FromUTF8("C"), false);
  ASSERT_EQ(wxGetLocale(), mLocale.get());
  ASSERT_NE(wxTranslations::Get(), nullptr);
  wxTranslations::Get()->SetLanguage(wxString::FromUTF8("fr"));
  ASSERT_TRUE(mLocale->AddCatalog(wxString::FromUTF8(domain))) << domain;
}

std::vector<std::string> Names(List<SchemaAttr*>* list) {
  std::vector<std::string> names;
  for (SchemaAttr* attr : Items(list)) names.push_back(Bytes(attr->GetAttr()));
  return names;
}

std::vector<std::string> Names(List<SchemaEntry*>* list) {
  std::vector<std::string> names;
  for (SchemaEntry* entry : Items(list)) {
    names.push_back(entry->GetType() == 2 ? Bytes(static_cast<SchemaBox*>(entry)->GetName())
                                          : Bytes(static_cast<SchemaAttr*>(entry)->GetAttr()));
  }
  return names;
}

}  // namespace test
}  // namespace zr
