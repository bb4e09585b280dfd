// Shared by the schema tests: schema files written into a per-test directory that serves as the
// installation directory, a fresh unloaded schema for every test, catalogues built by msgfmt, and a
// counting error listener.
#ifndef ZRAPPAPI_TESTS_SCHEMATESTSUPPORT_H
#define ZRAPPAPI_TESTS_SCHEMATESTSUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ABSchemaErrorListener.h"
#include "CountingListeners.h"
#include "List.h"
#include "Prefs.h"
#include "SchemaEntry.h"
#include "SchemaTesting.h"
#include "TestCatalogue.h"
#include "TestRuntimeDir.h"

namespace zr {
namespace test {

class CountingSchemaErrorListener : public Counting<ABSchemaErrorListener> {
 public:
  using Counting<ABSchemaErrorListener>::Counting;
  void OnSchemaNotice() override { Record("OnSchemaNotice"); }  // must never be called
  void OnSchemaError(const char* text) override { Record(std::string("OnSchemaError(") + Text(text) + ")"); }
};

// Every test starts with the schema unloaded, no error listener, no locale and an empty installation
// directory of its own; TearDown frees whatever the test loaded.
class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Back to an unloaded schema (the files, listener and locale stay), so one test can load several files.
  void Unload() { ResetSchemaForTesting(); }
  // Writes kv_abook.sch into the installation directory.
  void WriteSchema(const std::string& content);
  // The installation directory holds the sample data/kv_abook.sch.
  void UseSampleSchema() { Prefs::SetInstallDirectory(ZR_SCHEMA_SAMPLE_DIR); }
  std::string SchemaPath() const { return Dir() + "/kv_abook.sch"; }
  const std::string& Dir() const { return mDir.Path(); }

  // A counting listener registered as the error listener; its record outlives it.
  std::shared_ptr<ListenerRecord> RegisterCountingListener();

  // Makes the French catalogue domain the current locale's only catalogue (tests/schema/<domain>.po).
  void UseCatalogue(const char* domain);
  void DropLocale() { mCatalogue.reset(); }

 private:
  TestRuntimeDir mDir;  // a fresh private directory, removed with everything in it
  std::unique_ptr<TestCatalogue> mCatalogue;
};

// Schema texts are bytes both ways.
inline wxString W(const char* text) { return wxString::From8BitData(text); }
inline std::string Bytes(const wxString& text) {
  wxCharBuffer buffer = text.To8BitData();
  return std::string(buffer.data(), buffer.length());
}
// What a counting error listener records for one report.
inline std::string Reported(const std::string& text) { return "OnSchemaError(" + text + ")"; }

template <typename T>
std::vector<T> Items(List<T>* list) {
  std::vector<T> items;
  if (!list) return items;
  ListIterator<T> it(*list);
  for (it.First(); !it.IsDone(); it.Next()) items.push_back(it.CurrentItem());
  return items;
}
// The attribute names, and for entries the attribute or box names, in list order.
std::vector<std::string> Names(List<SchemaAttr*>* list);
std::vector<std::string> Names(List<SchemaEntry*>* list);

}  // namespace test
}  // namespace zr

#endif
