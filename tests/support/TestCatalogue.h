// Real gettext catalogues for test programs: WxCatalogueEnvironment initialises wxWidgets once for the
// whole program and searches the program's own catalogue directory (built by msgfmt) first; a
// TestCatalogue makes one French catalogue domain the current locale for the life of the object.
// Header only, so that test programs without wxWidgets need not link it. Main thread only.
#ifndef ZRAPPAPI_TESTS_TESTCATALOGUE_H
#define ZRAPPAPI_TESTS_TESTCATALOGUE_H

#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <memory>

namespace zr {
namespace test {

// Register once per program: ::testing::AddGlobalTestEnvironment(new WxCatalogueEnvironment(DIR)).
class WxCatalogueEnvironment : public ::testing::Environment {
 public:
  explicit WxCatalogueEnvironment(const char* localeDir) : mLocaleDir(localeDir) {}
  void SetUp() override {
    mInitializer.reset(new wxInitializer);
    ASSERT_TRUE(mInitializer->IsOk());
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(wxString::FromUTF8(mLocaleDir));
  }
  void TearDown() override { mInitializer.reset(); }

 private:
  const char* mLocaleDir;
  std::unique_ptr<wxInitializer> mInitializer;
};

class TestCatalogue {
 public:
  explicit TestCatalogue(const char* domain) {
    wxLogNull quiet;  // no "fr" system locale is needed: the C locale keeps number formatting
    mLocale.reset(new wxLocale);
    mLocale->Init(wxString::FromUTF8("French"), wxString::FromUTF8("fr"), wxString::FromUTF8("C"), false);
    if (wxTranslations* translations = wxTranslations::Get()) {
      translations->SetLanguage(wxString::FromUTF8("fr"));
      mLoaded = mLocale->AddCatalog(wxString::FromUTF8(domain));
    }
  }
  // The locale is current and the catalogue was found.
  bool Loaded() const { return mLoaded && wxGetLocale() == mLocale.get(); }
  const wxLocale* Locale() const { return mLocale.get(); }

 private:
  std::unique_ptr<wxLocale> mLocale;
  bool mLoaded = false;
};

}  // namespace test
}  // namespace zr

#endif  // ZRAPPAPI_TESTS_TESTCATALOGUE_H
