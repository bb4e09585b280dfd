#include "SchemaTestSupport.h"

#include <stdlib.h>
#include <unistd.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <cstdio>
#include <fstream>

#include "Prefs.h"
#include "SchemaTesting.h"

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

void RemoveTree(const std::string& dir) {
  std::string command = "rm -rf '" + dir + "'";
  if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir;
}

}  // namespace

void SchemaTest::SetUp() {
  char dir[] = "/tmp/zr_schema_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  mDir = dir;
  Prefs::SetInstallDirectory(mDir.c_str());
  ResetSchemaForTesting();
  DestroyABSchemaErrorListener();
}

void SchemaTest::TearDown() {
  ResetSchemaForTesting();
  DestroyABSchemaErrorListener();
  DropLocale();
  Prefs::SetInstallDirectory(nullptr);
  RemoveTree(mDir);
}

void SchemaTest::Unload() { ResetSchemaForTesting(); }

void SchemaTest::WriteSchema(const std::string& content) {
  std::ofstream out(SchemaPath(), std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good());
}

void SchemaTest::UseSampleSchema() { Prefs::SetInstallDirectory(ZR_SCHEMA_SAMPLE_DIR); }

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

void SchemaTest::DropLocale() { mLocale.reset(); }

}  // namespace test
}  // namespace zr
