// Shared by the schema tests: schema files written into a per-test directory that serves as the
// installation directory, a fresh unloaded schema for every test, catalogues built by msgfmt, and a
// counting error listener.
#ifndef ZRAPPAPI_TESTS_SCHEMATESTSUPPORT_H
#define ZRAPPAPI_TESTS_SCHEMATESTSUPPORT_H

#include <gtest/gtest.h>
#include <wx/intl.h>

#include <memory>
#include <string>

#include "ABSchemaErrorListener.h"
#include "CountingListeners.h"

namespace zr {
namespace test {

class CountingSchemaErrorListener : public Counting<ABSchemaErrorListener> {
 public:
  using Counting<ABSchemaErrorListener>::Counting;
  void OnSchemaNotice() override { Record("OnSchemaNotice"); }
  void OnSchemaError(const char* text) override { Record(std::string("OnSchemaError(") + Text(text) + ")"); }
};

// Every test starts with the schema unloaded, no error listener, no locale and an empty installation
// directory of its own; TearDown frees whatever the test loaded.
class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Back to an unloaded schema (the files, listener and locale stay), so one test can load several files.
  void Unload();
  // Writes kv_abook.sch into the installation directory.
  void WriteSchema(const std::string& content);
  // The installation directory holds the sample data/kv_abook.sch.
  void UseSampleSchema();
  std::string SchemaPath() const { return mDir + "/kv_abook.sch"; }
  const std::string& Dir() const { return mDir; }

  // A counting listener registered as the error listener; its record outlives it.
  std::shared_ptr<ListenerRecord> RegisterCountingListener();

  // Makes the French catalogue domain the current locale's only catalogue (tests/schema/<domain>.po).
  void UseCatalogue(const char* domain);
  void DropLocale();

 private:
  std::string mDir;
  std::unique_ptr<wxLocale> mLocale;
};

// A string of n copies of c.
inline std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace test
}  // namespace zr

#endif
