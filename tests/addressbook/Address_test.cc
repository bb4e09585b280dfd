// Address records built from contact messages and from loose strings, the small records with their item
// destructors, and the picked-mail comparator. Phone type texts come from a real gettext catalogue
// (address_phones.po, Latin-1 so texts are compared byte for byte).
#include "Address.h"

#include <gtest/gtest.h>
#include <plstr.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "AddressBookRecords.h"
#include "TestCatalogue.h"

namespace {

using Text = std::optional<std::string>;
using Texts = std::vector<Text>;
using Keys = std::vector<std::pair<std::string, std::string>>;
using MessagePtr = std::unique_ptr<IPCMessage, decltype(&IPC_DestroyMessage)>;

MessagePtr MakeMessage(const Keys& keys) {
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  for (const auto& [key, value] : keys) IPC_MessageSetValue(msg.get(), key.c_str(), value.c_str());
  return msg;
}

Text T(const char* s) { return s ? Text(s) : std::nullopt; }
Text T(Text s) { return s; }

// Item i of count, for each i; an orphaned string is freed once read.
template <typename Get>
Texts Each(unsigned int count, Get get) {
  Texts v;
  for (unsigned int i = 0; i < count; ++i) v.push_back(T(get(i)));
  return v;
}
Texts Orphaned(const Address& a, char* (Address::*orphan)(unsigned int) const) {
  return Each(a.GetNumPhones(), [&](unsigned int i) {
    std::unique_ptr<char, decltype(&PL_strfree)> s((a.*orphan)(i), &PL_strfree);
    return s ? std::string(s.get()) : Text();
  });
}
Texts Mails(const Address& a) {
  return Each(a.GetNumMails(), [&](unsigned int i) { return a.GetMail(i); });
}
Texts PrettyPhones(const Address& a) { return Orphaned(a, &Address::OrphanPrettyPhone); }

::testing::Environment* const gWxEnvironment =
    ::testing::AddGlobalTestEnvironment(new zr::test::WxCatalogueEnvironment(ZR_ADDRESSBOOK_TEST_LOCALE_DIR));

// The French phone catalogue as the current locale, for the scope of one object.
class PhoneCatalogue : public zr::test::TestCatalogue {
 public:
  PhoneCatalogue() : TestCatalogue("address_phones") {}
};

// What a contact holds, as one line: the strings that are not null and the lists that are not empty,
// "~" for a null item of a list.
struct Reading {
  Text name, first, last, mobile, uid, screen;
  Texts mails, phones, pretty, cell;
  std::string Describe() const {
    std::string out;
    auto list = [&out](const char* label, const Texts& items) {
      if (items.empty()) return;
      out += std::string(out.empty() ? "" : ";") + label + "=";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i].value_or("~");
    };
    auto field = [&list](const char* label, const Text& value) {
      list(label, value ? Texts{value} : Texts{});
    };
    field("name", name);
    field("first", first);
    field("last", last);
    field("mobile", mobile);
    field("uid", uid);
    field("screen", screen);
    list("mails", mails);
    list("phones", phones);
    list("pretty", pretty);
    list("cell", cell);
    return out;
  }
};

Reading ReadAddress(const Address& a) {
  return {T(a.GetName()),     T(a.GetFirstName()),
          T(a.GetLastName()), T(a.GetMobileNumber()),
          T(a.GetUID()),      T(a.GetScreenName()),
          Mails(a),           Each(a.GetNumPhones(), [&](unsigned int i) { return a.GetPhone(i); }),
          PrettyPhones(a),    Orphaned(a, &Address::OrphanCellPhone)};
}

// The same read the plain way: one lookup by name per key and number. Numbered lists end at the first
// gap or empty value, an empty mail is skipped, the name is cn, else the first name and any last name.
// Phone types have a text only under the French test catalogue, which leaves "fax" (its text echoes the
// key) and "pager" (no text) without one.
Reading ReadByName(const IPCMessage* msg, bool catalogue) {
  Reading r;
  auto get = [msg](const std::string& key) { return IPC_MessageGetValue(msg, key.c_str()); };
  r.name = T(get("cn"));
  r.first = T(get("givenname"));
  r.last = T(get("sn"));
  if (!r.name && r.first.value_or("") != "")
    r.name = *r.first + (r.last.value_or("") != "" ? " " + *r.last : "");
  r.mobile = T(get("mobileNumber"));
  r.uid = T(get("_xuid"));
  r.screen = T(get("nuouid"));
  if (const char* mail = get("mail"); mail && *mail) r.mails.push_back(mail);
  for (int n = 1;; ++n) {
    const char* v = get("mail" + std::to_string(n));
    if (!v || !*v) break;
    r.mails.push_back(v);
  }
  const std::map<std::string, std::string> shown = {
      {"home", "Domicile"}, {"cell", "Portable"}, {"work", "Travail t\xe9l."}};
  for (int n = 1;; ++n) {
    const std::string key = "phone" + std::to_string(n);
    const char* v = get(key);
    if (!v || !*v) break;
    r.phones.push_back(v);
    std::string t = T(get(key + "_type")).value_or("");
    for (char& ch : t) ch = static_cast<char>(tolower(ch));
    auto it = catalogue ? shown.find(t) : shown.end();
    r.pretty.push_back(it == shown.end() ? v : it->second + ": " + v);
    r.cell.push_back(catalogue && t == "cell" ? Text(v) : std::nullopt);
  }
  return r;
}

TEST(AddressTest, BuildsFromContactMessages) {
  const struct {
    const char* what;
    bool catalogue;  // the French phone catalogue is the current locale
    Keys keys;
    const char* expected;  // Describe()
  } cases[] = {
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
        {"phone3_type", "Cell"},
        {"phone4", "4"},
        {"phone4_type", "Work"}},
       "name=Ann Lee;first=Ann;last=Lee;mobile=+33 6;uid=u1;screen=annlee;mails=a@x,b@x,c@x;"
       "phones=111,222,333,4;pretty=Domicile: 111,222,Portable: 333,Travail t\xe9l.: 4;cell=~,~,333,~"},
      {"empty message", true, {}, ""},
      {"raw bytes and unknown keys pass through",
       false,
       {{"cn", "\x01\xff\xc3"}, {"_xuid", "\t"}, {"x", "y"}, {"", "empty key"}, {"mail1", "\xfe@x"}},
       "name=\x01\xff\xc3;uid=\t;mails=\xfe@x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<PhoneCatalogue> catalogue;
    if (c.catalogue) {
      catalogue.emplace();
      ASSERT_TRUE(catalogue->Loaded());
    }
    MessagePtr msg = MakeMessage(c.keys);
    Address a(msg.get());
    EXPECT_EQ(c.expected, ReadAddress(a).Describe());
    EXPECT_EQ(a.GetNumMails() ? a.GetMail(0) : nullptr, a.GetMail());
    EXPECT_EQ(nullptr, a.OrphanPrettyPhone(a.GetNumPhones()));
    EXPECT_EQ(nullptr, a.OrphanCellPhone(a.GetNumPhones()));
  }
  EXPECT_EQ("", ReadAddress(Address(nullptr)).Describe());
}

// The one-pass reader against lookups by name, number after number, with and without the catalogue,
// over random messages full of gaps, empty values, keys set twice, every phone type and spellings that
// %d never writes (leading zeros, signs, case, suffixes, a number too large for an int).
TEST(AddressTest, MatchesLookupByNameOnRandomMessages) {
  std::mt19937 random(15);
  const char* spellings[] = {"mail%d",
                             "phone%d",
                             "phone%d_type",
                             "mail0%d",
                             "phone%d_typ",
                             "phone0%d",
                             "mail+%d",
                             "Mail%d",
                             "mail-%d",
                             "mail%dx",
                             "phone%d_typex",
                             "mail0",
                             "mail99999999999999999999"};
  const char* types[] = {"home", "CELL", "fax", "pager", "", "Work"};
  for (const bool withCatalogue : {true, false}) {
    std::optional<PhoneCatalogue> catalogue;
    if (withCatalogue) {
      catalogue.emplace();
      ASSERT_TRUE(catalogue->Loaded());
    }
    for (int round = 0; round < 1000; ++round) {
      MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
      const int keys = std::uniform_int_distribution<int>(0, 60)(random);
      for (int k = 0; k < keys; ++k) {
        char key[64];
        snprintf(key, sizeof key, spellings[random() % std::size(spellings)],
                 static_cast<int>(random() % 12 + 1));
        const bool isType = strstr(key, "_type") != nullptr;
        std::string value = random() % 6 == 0 ? ""
                            : isType          ? types[random() % std::size(types)]
                                              : "v" + std::to_string(k);
        IPC_MessageSetValue(msg.get(), key, value.c_str());
      }
      for (const char* key : {"mail", "givenname", "sn", "cn", "mobileNumber", "nuouid", "_xuid"})
        if (random() % 2) IPC_MessageSetValue(msg.get(), key, random() % 3 ? key : "");
      Address a(msg.get());
      ASSERT_EQ(ReadByName(msg.get(), withCatalogue).Describe(), ReadAddress(a).Describe())
          << "round " << round;
    }
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
    ASSERT_EQ(ReadByName(msg.get(), true).Describe(), ReadAddress(a).Describe()) << t;
  }
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  ASSERT_EQ(PR_SUCCESS, IPC_Deserialize(msg.get(), text.c_str()));
  Address a(msg.get());
  EXPECT_EQ((Texts{"Domicile: 111", "Portable: 222"}), PrettyPhones(a));
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
  Texts mails;
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
