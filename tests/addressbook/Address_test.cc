// Address records built from contact messages and from loose strings, the small records with their item
// destructors, and the picked-mail comparator. Phone type texts come from a real gettext catalogue
// (address_phones.po, Latin-1 so texts are compared byte for byte).
#include "Address.h"

#include <gtest/gtest.h>
#include <plstr.h>
#include <wx/init.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "AddressBookRecords.h"

namespace {

using Text = std::optional<std::string>;
using Keys = std::vector<std::pair<std::string, std::string>>;
using MessagePtr = std::unique_ptr<IPCMessage, decltype(&IPC_DestroyMessage)>;

MessagePtr MakeMessage(const Keys& keys) {
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  for (const auto& [key, value] : keys) IPC_MessageSetValue(msg.get(), key.c_str(), value.c_str());
  return msg;
}

Text T(const char* s) { return s ? Text(s) : std::nullopt; }

// Takes over a string the caller must free.
Text Orphaned(char* s) {
  Text text = T(s);
  PL_strfree(s);
  return text;
}

std::vector<std::string> Mails(const Address& a) {
  std::vector<std::string> v;
  for (unsigned int i = 0; i < a.GetNumMails(); ++i) v.push_back(a.GetMail(i));
  return v;
}
std::vector<std::string> Phones(const Address& a) {
  std::vector<std::string> v;
  for (unsigned int i = 0; i < a.GetNumPhones(); ++i) v.push_back(a.GetPhone(i));
  return v;
}
std::vector<Text> PrettyPhones(const Address& a) {
  std::vector<Text> v;
  for (unsigned int i = 0; i < a.GetNumPhones(); ++i) v.push_back(Orphaned(a.OrphanPrettyPhone(i)));
  return v;
}
std::vector<Text> CellPhones(const Address& a) {
  std::vector<Text> v;
  for (unsigned int i = 0; i < a.GetNumPhones(); ++i) v.push_back(Orphaned(a.OrphanCellPhone(i)));
  return v;
}

class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    mInitializer.reset(new wxInitializer);
    ASSERT_TRUE(mInitializer->IsOk());
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(wxString::FromUTF8(ZR_ADDRESSBOOK_TEST_LOCALE_DIR));
  }
  void TearDown() override { mInitializer.reset(); }

 private:
  std::unique_ptr<wxInitializer> mInitializer;
};
::testing::Environment* const gWxEnvironment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

// The French phone catalogue as the current locale, for the scope of one object.
class PhoneCatalogue {
 public:
  PhoneCatalogue() {
    wxLogNull quiet;  // no "fr" system locale is needed: the C locale keeps number formatting
    mLocale.reset(new wxLocale);
    mLocale->Init(wxString::FromUTF8("French"), wxString::FromUTF8("fr"), wxString::FromUTF8("C"), false);
    wxTranslations::Get()->SetLanguage(wxString::FromUTF8("fr"));
    mLoaded = mLocale->AddCatalog(wxString::FromUTF8("address_phones"));
  }
  bool Loaded() const { return mLoaded && wxGetLocale() == mLocale.get(); }

 private:
  std::unique_ptr<wxLocale> mLocale;
  bool mLoaded = false;
};

// An Address as one line: the strings that are not null and the lists that are not empty, "~" for a null
// item of a list.
std::string Describe(const Address& a) {
  std::string out;
  auto field = [&out](const char* label, const char* value) {
    if (value) out += std::string(out.empty() ? "" : ";") + label + "=" + value;
  };
  auto list = [&out](const char* label, const std::vector<Text>& items) {
    if (items.empty()) return;
    out += std::string(out.empty() ? "" : ";") + label + "=";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i].value_or("~");
  };
  auto texts = [](const std::vector<std::string>& v) { return std::vector<Text>(v.begin(), v.end()); };
  field("name", a.GetName());
  field("first", a.GetFirstName());
  field("last", a.GetLastName());
  field("mobile", a.GetMobileNumber());
  field("uid", a.GetUID());
  field("screen", a.GetScreenName());
  list("mails", texts(Mails(a)));
  list("phones", texts(Phones(a)));
  list("pretty", PrettyPhones(a));
  list("cell", CellPhones(a));
  return out;
}

struct ContactCase {
  const char* what;
  bool catalogue;  // the French phone catalogue is the current locale
  Keys keys;
  const char* expected;  // Describe()
};

TEST(AddressTest, BuildsFromContactMessages) {
  const ContactCase cases[] = {
      {"every key",
       true,
       {{"cn", "Ann Lee"},
        {"givenname", "Ann"},
        {"sn", "Lee"},
        {"mobileNumber", "+33 6"},
        {"_xuid", "u1"},
        {"nuouid", "annlee"},
        {"mail", "a@x"},
        {"mail1", "b@x"},
        {"mail2", "c@x"},
        {"phone1", "111"},
        {"phone1_type", "HOME"},
        {"phone2", "222"},
        {"phone3", "333"},
        {"phone3_type", "Cell"}},
       "name=Ann Lee;first=Ann;last=Lee;mobile=+33 6;uid=u1;screen=annlee;mails=a@x,b@x,c@x;"
       "phones=111,222,333;pretty=Domicile: 111,222,Portable: 333;cell=~,~,333"},
      {"types without a catalogue have no text",
       false,
       {{"phone1", "111"}, {"phone1_type", "home"}, {"phone2", "333"}, {"phone2_type", "cell"}},
       "phones=111,333;pretty=111,333;cell=~,~"},
      {"untranslated, key-echoing and raw-byte type texts",
       true,
       {{"phone1", "1"},
        {"phone1_type", "pager"},
        {"phone2", "2"},
        {"phone2_type", "fax"},
        {"phone3", "3"},
        {"phone3_type", "Work"},
        {"phone4", "4"},
        {"phone4_type", ""}},
       "phones=1,2,3,4;pretty=1,2,Travail t\xe9l.: 3,4;cell=~,~,~,~"},
      {"numbered mails end at a gap",
       false,
       {{"mail3", "c@x"}, {"mail1", "a@x"}, {"mail", "m@x"}},
       "mails=m@x,a@x"},
      {"an empty numbered value ends its list; an empty mail is skipped",
       true,
       {{"mail", ""}, {"mail1", "a@x"}, {"mail2", ""}, {"mail3", "c@x"}, {"phone1", ""}, {"phone2", "2"}},
       "mails=a@x"},
      {"only keys as %d writes them count",
       false,
       {{"mail01", "z"},
        {"mail+1", "z"},
        {"mail0", "z"},
        {"mail1x", "z"},
        {"Mail1", "z"},
        {"mail-1", "z"},
        {"mail99999999999999999999", "z"},
        {"phone1_typex", "home"},
        {"mail1", "a@x"},
        {"phone01", "9"},
        {"phone1", "1"}},
       "mails=a@x;phones=1;pretty=1;cell=~"},
      {"no cn: first name when the last is empty",
       false,
       {{"givenname", "Ann"}, {"sn", ""}},
       "name=Ann;first=Ann;last="},
      {"no cn: first and last",
       false,
       {{"givenname", "Ann"}, {"sn", "Lee"}},
       "name=Ann Lee;first=Ann;last=Lee"},
      {"no cn, no first name: no name", false, {{"givenname", ""}, {"sn", "Lee"}}, "first=;last=Lee"},
      {"an empty cn stays empty", false, {{"cn", ""}, {"givenname", "Ann"}}, "name=;first=Ann"},
      {"empty message", true, {}, ""},
      {"raw bytes and unknown keys pass through",
       false,
       {{"cn", "\x01\xff\xc3"}, {"_xuid", "\t"}, {"x", "y"}, {"", "empty key"}, {"mail1", "\xfe@x"}},
       "name=\x01\xff\xc3;uid=\t;mails=\xfe@x"},
  };
  for (const ContactCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<PhoneCatalogue> catalogue;
    if (c.catalogue) {
      catalogue.emplace();
      ASSERT_TRUE(catalogue->Loaded());
    }
    MessagePtr msg = MakeMessage(c.keys);
    Address a(msg.get());
    EXPECT_EQ(c.expected, Describe(a));
    EXPECT_EQ(a.GetNumMails() ? a.GetMail(0) : nullptr, a.GetMail());
    EXPECT_EQ(nullptr, a.OrphanPrettyPhone(a.GetNumPhones()));
    EXPECT_EQ(nullptr, a.OrphanCellPhone(a.GetNumPhones()));
  }
  EXPECT_EQ("", Describe(Address(nullptr)));
}

// What a contact message means, read the plain way: one lookup by name per key and number. Phone type
// texts are those of the French test catalogue.
struct Reading {
  Text name, uid;
  std::vector<std::string> mails, phones;
  std::vector<Text> pretty;
  bool operator==(const Reading& o) const {
    return name == o.name && uid == o.uid && mails == o.mails && phones == o.phones && pretty == o.pretty;
  }
};

Reading ReadByName(const IPCMessage* msg) {
  Reading r;
  r.name = T(IPC_MessageGetValue(msg, "cn"));
  const char* first = IPC_MessageGetValue(msg, "givenname");
  const char* last = IPC_MessageGetValue(msg, "sn");
  if (!r.name && first && *first)
    r.name = std::string(first) + (last && *last ? " " + std::string(last) : "");
  r.uid = T(IPC_MessageGetValue(msg, "_xuid"));
  const char* mail = IPC_MessageGetValue(msg, "mail");
  if (mail && *mail) r.mails.push_back(mail);
  for (int n = 1;; ++n) {
    const char* v = IPC_MessageGetValue(msg, ("mail" + std::to_string(n)).c_str());
    if (!v || !*v) break;
    r.mails.push_back(v);
  }
  const std::map<std::string, std::string> shown = {{"home", "Domicile"}, {"cell", "Portable"}};
  for (int n = 1;; ++n) {
    const std::string key = "phone" + std::to_string(n);
    const char* v = IPC_MessageGetValue(msg, key.c_str());
    if (!v || !*v) break;
    r.phones.push_back(v);
    const char* type = IPC_MessageGetValue(msg, (key + "_type").c_str());
    std::string t = type ? type : "";
    for (char& ch : t) ch = static_cast<char>(tolower(ch));
    auto it = shown.find(t);
    r.pretty.push_back(it == shown.end() ? v : it->second + ": " + v);
  }
  return r;
}

Reading ReadAddress(const Address& a) {
  return {T(a.GetName()), T(a.GetUID()), Mails(a), Phones(a), PrettyPhones(a)};
}

// The one-pass reader against lookups by name, number after number, over random messages full of gaps,
// empty values, odd spellings and keys set twice.
TEST(AddressTest, MatchesLookupByNameOnRandomMessages) {
  std::mt19937 random(15);
  const char* spellings[] = {"mail%d", "phone%d", "phone%d_type", "mail0%d", "phone%d_typ"};
  const char* types[] = {"home", "CELL", "fax", "pager", ""};
  PhoneCatalogue catalogue;
  ASSERT_TRUE(catalogue.Loaded());
  for (int round = 0; round < 1000; ++round) {
    MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
    const int keys = std::uniform_int_distribution<int>(0, 60)(random);
    for (int k = 0; k < keys; ++k) {
      const char* spelling = spellings[random() % 5];
      char key[64];
      snprintf(key, sizeof key, spelling, static_cast<int>(random() % 12 + 1));
      const bool isType = strstr(key, "_type") != nullptr;
      std::string value = random() % 6 == 0 ? "" : isType ? types[random() % 5] : "v" + std::to_string(k);
      IPC_MessageSetValue(msg.get(), key, value.c_str());
    }
    if (random() % 2) IPC_MessageSetValue(msg.get(), "mail", random() % 3 ? "m@x" : "");
    if (random() % 2) IPC_MessageSetValue(msg.get(), "givenname", random() % 3 ? "Ann" : "");
    if (random() % 2) IPC_MessageSetValue(msg.get(), "sn", random() % 3 ? "Lee" : "");
    if (random() % 4 == 0) IPC_MessageSetValue(msg.get(), "cn", random() % 3 ? "Cn" : "");
    Address a(msg.get());
    ASSERT_TRUE(ReadByName(msg.get()) == ReadAddress(a)) << "round " << round;
  }
}

// Contacts arrive serialised: every truncation of a contact's text, and texts with a byte changed, are
// read as whatever the message library makes of them, never a crash or a leak.
TEST(AddressTest, ReadsDamagedSerialisedContacts) {
  PhoneCatalogue catalogue;
  ASSERT_TRUE(catalogue.Loaded());
  MessagePtr whole = MakeMessage({{"cn", "Ann Lee"},
                                  {"_xuid", "u1"},
                                  {"mail", "a@x"},
                                  {"mail1", "b@x"},
                                  {"mail2", "c@x"},
                                  {"phone1", "111"},
                                  {"phone1_type", "home"},
                                  {"phone2", "222"},
                                  {"phone2_type", "cell"}});
  const std::string text = IPC_Serialize(whole.get());
  std::vector<std::string> damaged;
  for (size_t length = 0; length < text.size(); ++length) damaged.push_back(text.substr(0, length));
  for (size_t at = 0; at < text.size(); ++at) {
    for (char c : {'\x01', '0', '9', ':', '\xff'}) {
      std::string t = text;
      t[at] = c;
      damaged.push_back(t);
    }
  }
  int accepted = 0;
  for (const std::string& t : damaged) {
    MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
    if (IPC_Deserialize(msg.get(), t.c_str()) == PR_SUCCESS) ++accepted;
    Address a(msg.get());
    ASSERT_TRUE(ReadByName(msg.get()) == ReadAddress(a)) << t;
  }
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  ASSERT_EQ(PR_SUCCESS, IPC_Deserialize(msg.get(), text.c_str()));
  Address a(msg.get());
  EXPECT_EQ((std::vector<Text>{"Domicile: 111", "Portable: 222"}), PrettyPhones(a));
  EXPECT_GT(accepted, 0);  // some damage reads as another contact
  EXPECT_LT(accepted, static_cast<int>(damaged.size()));
}

// A contact with 100,000 numbered mails, set in descending order so that the reader cannot rely on the
// message's order, and one gap after them.
TEST(AddressTest, ReadsHundredThousandNumberedMails) {
  constexpr int kMails = 100000;
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  char key[32], value[32];
  for (int n = kMails + 5; n >= 1; --n) {
    if (n == kMails + 1) continue;
    snprintf(key, sizeof key, "mail%d", n);
    snprintf(value, sizeof value, "user%d@x", n);
    IPC_MessageSetValue(msg.get(), key, value);
  }
  IPC_MessageSetValue(msg.get(), "mail", "first@x");
  Address a(msg.get());
  ASSERT_EQ(static_cast<unsigned int>(kMails + 1), a.GetNumMails());
  EXPECT_STREQ("first@x", a.GetMail());
  for (int n = 1; n <= kMails; ++n) {
    snprintf(value, sizeof value, "user%d@x", n);
    ASSERT_STREQ(value, a.GetMail(n)) << n;
  }
}

struct LooseCase {
  const char* what;
  int form;  // 2, 3 or 5 strings
  const char *mail, *first, *last, *screen, *mobile;
  Text name;
  std::vector<std::string> mails;
};

TEST(AddressTest, BuildsFromLooseStrings) {
  const LooseCase cases[] = {
      {"name and mail", 2, "a@x", "Ann", nullptr, nullptr, nullptr, "Ann", {"a@x"}},
      {"empty mail dropped", 2, "", "Ann", nullptr, nullptr, nullptr, "Ann", {}},
      {"null mail and name", 2, nullptr, nullptr, nullptr, nullptr, nullptr, std::nullopt, {}},
      {"with screen name", 3, "a@x", "", nullptr, "ann", nullptr, "", {"a@x"}},
      {"first and last", 5, "a@x", "Ann", "Lee", "ann", "06", "Ann Lee", {"a@x"}},
      {"first only", 5, nullptr, "Ann", "", "ann", "06", "Ann", {}},
      {"last only", 5, "", nullptr, "Lee", "ann", "06", "Lee", {""}},
      {"screen name", 5, nullptr, "", "", "ann", "06", "ann", {}},
      {"empty screen name still wins", 5, nullptr, "", nullptr, "", "06", "", {}},
      {"mobile number", 5, nullptr, nullptr, nullptr, nullptr, "06", "06", {}},
      {"nothing", 5, nullptr, nullptr, nullptr, nullptr, nullptr, std::nullopt, {}},
  };
  for (const LooseCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Address> a(c.form == 2   ? new Address(c.mail, c.first)
                               : c.form == 3 ? new Address(c.mail, c.first, c.screen)
                                             : new Address(c.mail, c.first, c.last, c.screen, c.mobile));
    EXPECT_EQ(c.name, T(a->GetName()));
    EXPECT_EQ(c.mails, Mails(*a));
    EXPECT_EQ(nullptr, a->GetUID());
    EXPECT_EQ(0u, a->GetNumPhones());
    EXPECT_EQ(nullptr, a->OrphanPrettyPhone(0));
    if (c.form == 5) {
      EXPECT_EQ(T(c.first), T(a->GetFirstName()));
      EXPECT_EQ(T(c.last), T(a->GetLastName()));
      EXPECT_EQ(T(c.mobile), T(a->GetMobileNumber()));
    } else {
      EXPECT_EQ(nullptr, a->GetFirstName());
    }
    EXPECT_EQ(c.form == 2 ? Text() : T(c.screen), T(a->GetScreenName()));
    if (c.name && a->GetName()) {
      EXPECT_NE(static_cast<const void*>(c.first), a->GetName());  // a private copy
    }
  }
}

// Containers own the records through the item destructors; ASan reports any leak or double free.
TEST(AddressTest, SmallRecordsAndItemDestructors) {
  const long before = static_cast<long>(time(nullptr));
  TimeAddressWasPicked now("a@x");
  EXPECT_GE(now.GetTime(), before);
  EXPECT_LE(now.GetTime(), static_cast<long>(time(nullptr)));
  TimeAddressWasPicked none(nullptr, 5);
  EXPECT_EQ(nullptr, none.GetMail());
  EXPECT_EQ(5, none.GetTime());

  char name[] = "Work";
  AddressBookName book(name, nullptr);
  name[0] = 'X';
  EXPECT_STREQ("Work", book.GetName());
  EXPECT_EQ(nullptr, book.GetType());

  VoidArray books, picked, addresses, strings, members;
  books.AdoptItemDestructor(new AddressBookNameDestructor);
  picked.AdoptItemDestructor(new TimeAddressWasPickedDestructor);
  addresses.AdoptItemDestructor(new AddressItemDestructor);
  strings.AdoptItemDestructor(new StringItemDestructor);
  members.AdoptItemDestructor(new NameAndEmailItemDestructor);
  books.Append(new AddressBookName("b", "t"));
  picked.Append(new TimeAddressWasPicked("p@x", 1));
  picked.Append(nullptr);
  MessagePtr contact = MakeMessage({{"cn", "C"}, {"mail1", "c@x"}, {"phone1", "1"}, {"phone1_type", "home"}});
  addresses.Append(new Address(contact.get()));
  addresses.Append(nullptr);
  strings.Append(PL_strdup("s"));
  auto* member = static_cast<NameAndEmail_t*>(malloc(sizeof(NameAndEmail_t)));
  *member = NameAndEmail_t{"Ann", "a@x"};
  NameAndEmail_t copy{nullptr, nullptr};
  copy = *member;
  EXPECT_EQ(member->mail, copy.mail);  // the strings are borrowed, never copied
  members.Append(member);
  books.RemoveAll();
  picked.RemoveAll();
  EXPECT_EQ(0u, books.GetSize());
}

TEST(AddressTest, PickedMailsSortMostRecentFirst) {
  struct Case {
    const char* a;
    long ta;
    const char* b;
    long tb;
    int sign;
  } cases[] = {
      {"a@x", 1, "A@X", 9, 0},     {"a@x", 9, "b@x", 1, -1},  {"a@x", 1, "b@x", 9, 1},
      {"a@x", 5, "B@x", 5, -1},    {"b@x", 5, "A@x", 5, 1},   {nullptr, 5, "a@x", 5, -1},
      {nullptr, 5, nullptr, 1, 0}, {"a@x", 5, nullptr, 9, 1},
  };
  TimeAddressWasPickedComparator cmp;
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "null") + " / " + (c.b ? c.b : "null"));
    TimeAddressWasPicked a(c.a, c.ta), b(c.b, c.tb);
    EXPECT_EQ(c.sign, sign(cmp.Compare(&a, &b)));
    EXPECT_EQ(-c.sign, sign(cmp.Compare(&b, &a)));
  }
  TimeAddressWasPicked one("a@x", 1);
  EXPECT_LT(cmp.Compare(nullptr, &one), 0);
  EXPECT_EQ(0, cmp.Compare(nullptr, nullptr));

  Array<TimeAddressWasPicked*> picked;
  picked.AdoptItemDestructor(new TimeAddressWasPickedDestructor);
  const std::pair<const char*, long> items[] = {{"c@x", 3}, {"a@x", 1}, {"d@x", 9}, {"b@x", 3}, {"C@X", 3}};
  for (const auto& [mail, t] : items) picked.Append(new TimeAddressWasPicked(mail, t));
  // Case variants count as one mail only when they meet: the ordering is by time first.
  picked.SortUnique(cmp);
  std::vector<std::string> order;
  for (unsigned int i = 0; i < picked.GetSize(); ++i) order.push_back(picked.ItemAt(i)->GetMail());
  ASSERT_EQ(4u, order.size());
  EXPECT_EQ((std::vector<std::string>{"d@x", "b@x", "c@x", "a@x"}), order);
}

}  // namespace
