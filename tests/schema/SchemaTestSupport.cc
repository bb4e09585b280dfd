#include "SchemaTestSupport.h"

#include <fstream>

namespace zr {
namespace test {

namespace {

// The catalogues need an application object; one for the whole program.
::testing::Environment* const gWxEnvironment =
    ::testing::AddGlobalTestEnvironment(new WxCatalogueEnvironment(ZR_SCHEMA_TEST_LOCALE_DIR));

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
  mCatalogue.reset(new TestCatalogue(domain));
  ASSERT_EQ(wxGetLocale(), mCatalogue->Locale());
  ASSERT_NE(wxTranslations::Get(), nullptr);
  ASSERT_TRUE(mCatalogue->Loaded()) << domain;
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
