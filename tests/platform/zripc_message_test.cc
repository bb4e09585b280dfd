// Messages and their serialised text.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "IPCMessage.h"

namespace {

std::vector<std::pair<std::string, std::string>> Fields(const IPCMessage* msg) {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < IPC_MessageGetCount(msg); ++i) {
    out.emplace_back(IPC_MessageGetKeyAt(msg, i), IPC_MessageGetValueAt(msg, i));
  }
  return out;
}

struct MessageDeleter {
  void operator()(IPCMessage* m) const { IPC_DestroyMessage(m); }
};
using Message = std::unique_ptr<IPCMessage, MessageDeleter>;

Message New() { return Message(IPC_NewMessage()); }

Message Make(std::initializer_list<std::pair<const char*, std::string>> fields) {
  Message m = New();
  for (const auto& f : fields) IPC_MessageSetValue(m.get(), f.first, f.second.c_str());
  return m;
}

TEST(IPCMessageTest, KeysKeepInsertionOrderAndReplaceInPlace) {
  Message m = New();
  EXPECT_EQ(IPC_MessageGetCount(m.get()), 0);
  EXPECT_EQ(IPC_MessageGetValue(m.get(), "a"), nullptr);
  char key[8] = "zr_c";
  char value[8] = "one";
  ASSERT_EQ(IPC_MessageSetValue(m.get(), key, value), PR_SUCCESS);
  // The message keeps copies: the caller's buffers are reused at once.
  std::strcpy(key, "XXXX");
  std::strcpy(value, "YYY");
  EXPECT_STREQ(IPC_MessageGetValue(m.get(), "zr_c"), "one");
  IPC_MessageSetValue(m.get(), "b", "2");
  IPC_MessageSetValue(m.get(), "c", "3");
  IPC_MessageSetValue(m.get(), "zr_c", "uno");
  std::vector<std::pair<std::string, std::string>> expected = {{"zr_c", "uno"}, {"b", "2"}, {"c", "3"}};
  EXPECT_EQ(Fields(m.get()), expected);
  EXPECT_EQ(IPC_MessageGetKeyAt(m.get(), 3), nullptr);
  EXPECT_EQ(IPC_MessageGetValueAt(m.get(), -1), nullptr);

  EXPECT_EQ(IPC_MessageRemoveValue(m.get(), "b"), PR_SUCCESS);
  EXPECT_EQ(IPC_MessageRemoveValue(m.get(), "b"), PR_FAILURE);
  IPC_MessageSetValue(m.get(), "d", "");
  expected = {{"zr_c", "uno"}, {"c", "3"}, {"d", ""}};
  EXPECT_EQ(Fields(m.get()), expected);
  EXPECT_STREQ(IPC_MessageGetValue(m.get(), "d"), "");

  EXPECT_EQ(IPC_MessageSetValue(nullptr, "k", "v"), PR_FAILURE);
  EXPECT_EQ(IPC_MessageSetValue(m.get(), nullptr, "v"), PR_FAILURE);
  EXPECT_EQ(IPC_MessageSetValue(m.get(), "k", nullptr), PR_FAILURE);
  EXPECT_EQ(IPC_MessageGetValue(nullptr, "k"), nullptr);
  EXPECT_EQ(IPC_MessageGetValue(m.get(), nullptr), nullptr);
  EXPECT_EQ(IPC_Serialize(nullptr), nullptr);
  EXPECT_EQ(IPC_CloneMessage(nullptr), nullptr);
  IPC_DestroyMessage(nullptr);
}

TEST(IPCMessageTest, AValueStaysPutWhileOtherKeysChange) {
  // A value handed out stays valid until its own key is set again or the message goes, however many
  // other keys come and go meanwhile (short values included, which live inside their string).
  Message m = Make({{"zr_cookie", "17"}, {"long", std::string(100, 'l')}});
  const char* cookie = IPC_MessageGetValue(m.get(), "zr_cookie");
  const char* longValue = IPC_MessageGetValue(m.get(), "long");
  for (int i = 0; i < 300; ++i) IPC_MessageSetInt(m.get(), ("k" + std::to_string(i)).c_str(), i);
  for (int i = 0; i < 300; i += 3) IPC_MessageRemoveValue(m.get(), ("k" + std::to_string(i)).c_str());
  IPC_MessageSetValue(m.get(), "k1", "changed");
  IPC_Serialize(m.get());
  EXPECT_STREQ(cookie, "17");
  EXPECT_EQ(std::string(longValue), std::string(100, 'l'));
  EXPECT_EQ(IPC_MessageGetValue(m.get(), "zr_cookie"), cookie);
}

TEST(IPCMessageTest, IntegersAreDecimalText) {
  Message m = New();
  const std::pair<int, const char*> cases[] = {
      {0, "0"}, {-42, "-42"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}, {1234567, "1234567"}};
  for (const auto& c : cases) {
    IPC_MessageSetInt(m.get(), "n", c.first);
    EXPECT_STREQ(IPC_MessageGetValue(m.get(), "n"), c.second);
  }
  EXPECT_EQ(IPC_MessageGetCount(m.get()), 1);
}

TEST(IPCMessageTest, ThousandsOfKeysStayOrderedAndFindable) {
  Message m = New();
  const int n = 5000;
  for (int i = 0; i < n; ++i) {
    IPC_MessageSetValue(m.get(), ("key" + std::to_string(i)).c_str(), std::to_string(i * 3).c_str());
  }
  ASSERT_EQ(IPC_MessageGetCount(m.get()), n);
  for (int i = 0; i < n; i += 7) {
    IPC_MessageSetInt(m.get(), ("key" + std::to_string(i)).c_str(), -i);
  }
  for (int i = 0; i < n; i += 2) {
    ASSERT_EQ(IPC_MessageRemoveValue(m.get(), ("key" + std::to_string(i)).c_str()), PR_SUCCESS);
  }
  ASSERT_EQ(IPC_MessageGetCount(m.get()), n / 2);
  for (int i = 0; i < n; ++i) {
    const char* v = IPC_MessageGetValue(m.get(), ("key" + std::to_string(i)).c_str());
    if (i % 2 == 0) {
      EXPECT_EQ(v, nullptr) << i;
    } else {
      ASSERT_NE(v, nullptr) << i;
      EXPECT_EQ(std::string(v), std::to_string(i % 7 == 0 ? -i : i * 3));
    }
  }
  // Order is insertion order of the survivors.
  for (int j = 0; j < n / 2; ++j) {
    EXPECT_EQ(std::string(IPC_MessageGetKeyAt(m.get(), j)), "key" + std::to_string(2 * j + 1));
  }
  // Shrinking back under the indexing threshold keeps look-ups right.
  for (int i = 1; i < n - 6; i += 2) IPC_MessageRemoveValue(m.get(), ("key" + std::to_string(i)).c_str());
  EXPECT_EQ(IPC_MessageGetCount(m.get()), 3);
  EXPECT_STREQ(IPC_MessageGetValue(m.get(), "key4997"), "14991");
  EXPECT_EQ(IPC_MessageGetValue(m.get(), "key1"), nullptr);
}

TEST(IPCMessageTest, CloneIsDeepAndIndependent) {
  Message m = New();
  for (int i = 0; i < 40; ++i) IPC_MessageSetInt(m.get(), ("k" + std::to_string(i)).c_str(), i);
  Message c(IPC_CloneMessage(m.get()));
  auto before = Fields(c.get());
  EXPECT_EQ(before, Fields(m.get()));
  IPC_MessageSetValue(m.get(), "k3", "changed");
  IPC_MessageRemoveValue(m.get(), "k4");
  IPC_MessageSetValue(m.get(), "new", "x");
  EXPECT_EQ(Fields(c.get()), before);
  const char* v = IPC_MessageGetValue(c.get(), "k39");
  m.reset();
  EXPECT_STREQ(v, "39");
  EXPECT_STREQ(IPC_MessageGetValue(c.get(), "k20"), "20");
}

Message RoundTrip(IPCMessage* m) {
  Message back = New();
  const char* text = IPC_Serialize(m);
  EXPECT_NE(text, nullptr);
  EXPECT_EQ(IPC_Deserialize(back.get(), text), PR_SUCCESS) << text;
  return back;
}

TEST(IPCMessageTest, SerialiseRoundTrips) {
  Message empty = New();
  EXPECT_EQ(Fields(RoundTrip(empty.get()).get()).size(), 0u);

  // Every byte value but NUL, in keys and in values, including the format's own punctuation.
  Message bytes = New();
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  IPC_MessageSetValue(bytes.get(), all.c_str(), all.c_str());
  for (int b = 1; b < 256; ++b) {
    std::string k(1, static_cast<char>(b));
    IPC_MessageSetValue(bytes.get(), k.c_str(), (k + ":@;0" + k).c_str());
  }
  IPC_MessageSetValue(bytes.get(), "", "empty key");
  IPC_MessageSetValue(bytes.get(), "empty value", "");
  const char* text = IPC_Serialize(bytes.get());
  EXPECT_EQ(std::strlen(text), std::string(text).size());
  EXPECT_EQ(Fields(RoundTrip(bytes.get()).get()), Fields(bytes.get()));

  Message many = New();
  for (int i = 0; i < 3000; ++i) {
    IPC_MessageSetValue(many.get(), ("ab_addr" + std::to_string(i)).c_str(),
                        std::string(i % 50, 'x').c_str());
  }
  EXPECT_EQ(Fields(RoundTrip(many.get()).get()), Fields(many.get()));
}

TEST(IPCMessageTest, MessagesNestAsOrdinaryValues) {
  // contact -> source -> reply, each level stored as a value of the next.
  Message contact = Make({{"cn", "Ann: \"the\" @3;4:"}, {"mail1", "ann@example.com"}});
  std::string contactText = IPC_Serialize(contact.get());
  Message source = Make({{"name", "Personal"}, {"ab_addr1", contactText}, {"ab_addr2", contactText}});
  Message reply = Make({{"zr_command", "ab_reply"}, {"ab_source", IPC_Serialize(source.get())}});

  Message r = RoundTrip(reply.get());
  Message s = New();
  ASSERT_EQ(IPC_Deserialize(s.get(), IPC_MessageGetValue(r.get(), "ab_source")), PR_SUCCESS);
  Message c = New();
  ASSERT_EQ(IPC_Deserialize(c.get(), IPC_MessageGetValue(s.get(), "ab_addr2")), PR_SUCCESS);
  EXPECT_EQ(Fields(c.get()), Fields(contact.get()));

  // Depth costs a few length digits per level, never escaping that grows with depth.
  std::string level = IPC_Serialize(Make({{"v", std::string(1000, 'q')}}).get());
  size_t base = level.size();
  for (int depth = 1; depth <= 200; ++depth) level = IPC_Serialize(Make({{"v", level}}).get());
  EXPECT_LT(level.size(), base + 200 * 16);
  for (int depth = 200; depth >= 0; --depth) {
    Message m = New();
    ASSERT_EQ(IPC_Deserialize(m.get(), level.c_str()), PR_SUCCESS) << depth;
    level = IPC_MessageGetValue(m.get(), "v");
  }
  EXPECT_EQ(level, std::string(1000, 'q'));
}

TEST(IPCMessageTest, DeserialiseIntoAFilledMessageSetsEachKeyAndRenewsItsText) {
  Message src = Make({{"b", "new"}, {"c", "3"}});
  Message dst = Make({{"a", "1"}, {"b", "old"}});
  const char* before = IPC_Serialize(dst.get());
  EXPECT_EQ(IPC_Serialize(dst.get()), before);  // cached while unchanged
  std::string beforeText = before;
  ASSERT_EQ(IPC_Deserialize(dst.get(), IPC_Serialize(src.get())), PR_SUCCESS);
  std::vector<std::pair<std::string, std::string>> expected = {{"a", "1"}, {"b", "new"}, {"c", "3"}};
  EXPECT_EQ(Fields(dst.get()), expected);
  EXPECT_EQ(std::string(IPC_Serialize(dst.get())), "@3;1:a1:11:b3:new1:c1:3");
  // Every change renews the cached text.
  IPC_MessageSetValue(dst.get(), "a", "2");
  EXPECT_EQ(std::string(IPC_Serialize(dst.get())), "@3;1:a1:21:b3:new1:c1:3");
  IPC_MessageRemoveValue(dst.get(), "b");
  IPC_MessageRemoveValue(dst.get(), "c");
  IPC_MessageRemoveValue(dst.get(), "a");
  EXPECT_EQ(std::string(IPC_Serialize(dst.get())), "@0;");
}

void ExpectRejected(const std::string& text) {
  Message m = Make({{"keep", "me"}});
  EXPECT_EQ(IPC_Deserialize(m.get(), text.c_str()), PR_FAILURE) << "accepted: " << text;
  std::vector<std::pair<std::string, std::string>> expected = {{"keep", "me"}};
  EXPECT_EQ(Fields(m.get()), expected) << text;
  Message empty = New();
  EXPECT_EQ(IPC_Deserialize(empty.get(), text.c_str()), PR_FAILURE) << "accepted: " << text;
  EXPECT_EQ(IPC_MessageGetCount(empty.get()), 0) << text;
}

TEST(IPCMessageTest, MalformedTextFailsAndLeavesTheMessageAlone) {
  const char* bad[] = {
      "",                                 // nothing
      "@",                                // no count
      "@;",                               // empty count
      "0;",                               // no marker
      "@1;",                              // fewer entries than counted
      "@0;x",                             // trailing garbage
      "@00;",                             // leading zero
      "@01;1:a1:b",                       // leading zero
      "@1;1:a1:bc",                       // value longer than its length
      "@1;2:a1:b",                        // key length runs into the value's length
      "@1;1:a9:b",                        // value length beyond the end
      "@1;1:a",                           // value missing
      "@1;1:a1",                          // value length without its colon
      "@1;-1:a1:b",                       // sign
      "@1; 1:a1:b",                       // space
      "@1;1:a1:b@0;",                     // two messages
      "@2;1:a1:b1:a1:c",                  // repeated key
      "@99999999999999999999999;",        // count overflow
      "@1;99999999999999999999999:a1:b",  // length overflow
      "@4294967297;0:0:",                 // count wraps 32 bits
      "@1;1:a18446744073709551617:b",     // 64-bit wrap
      "@3;0:0:",                          // count above what the text can hold
      "#1;1:a1:b",                        // wrong marker
      "@1;1:a1:b\n",                      // trailing newline
  };
  for (const char* text : bad) ExpectRejected(text);
  EXPECT_EQ(IPC_Deserialize(nullptr, "@0;"), PR_FAILURE);
  Message m = New();
  EXPECT_EQ(IPC_Deserialize(m.get(), nullptr), PR_FAILURE);
}

TEST(IPCMessageTest, EveryTruncationFailsCleanlyAlsoWhenNested) {
  std::string innerText = IPC_Serialize(Make({{"cn", "Bob"}, {"mail", "b@x"}}).get());
  std::string text = IPC_Serialize(Make({{"zr_command", "x"}, {"ab_addr1", innerText}}).get());
  for (size_t n = 0; n < text.size(); ++n) ExpectRejected(text.substr(0, n));

  // A truncated inner text travels fine as a value, and fails only when it is itself read.
  for (size_t n = 0; n < innerText.size(); ++n) {
    Message carrier = Make({{"ab_addr1", innerText.substr(0, n)}});
    Message back = RoundTrip(carrier.get());
    ExpectRejected(IPC_MessageGetValue(back.get(), "ab_addr1"));
  }
}

TEST(IPCMessageTest, RandomMutationsFailOrParseConsistently) {
  // Valid nested texts, mutated at random with a fixed seed: each must either fail and leave the target
  // as it was, or succeed with a message that serialises back to a text that parses to the same fields.
  std::mt19937 rng(20261205);
  std::string leaf = IPC_Serialize(Make({{"cn", "Cy:@;1"}, {"uid", "42"}}).get());
  std::string mid = IPC_Serialize(Make({{"a", leaf}, {"b", "plain"}}).get());
  std::string top = IPC_Serialize(Make({{"zr_command", "ab_event"}, {"m", mid}, {"n", "12"}}).get());
  const std::string seeds[] = {top, mid, leaf};
  const char alphabet[] = "@;:0123456789abc\x01\xff";
  int accepted = 0;
  int rejected = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string text = seeds[round % 3];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      size_t at = rng() % text.size();
      char c = alphabet[rng() % (sizeof alphabet - 1)];
      switch (rng() % 4) {
        case 0:
          text[at] = c;
          break;
        case 1:
          text.insert(at, 1, c);
          break;
        case 2:
          text.erase(at, 1 + rng() % 3);
          break;
        default:
          text.insert(at, text.substr(rng() % text.size(), 1 + rng() % 4));
          break;
      }
    }
    Message m = Make({{"keep", "me"}});
    Message fresh = New();
    if (IPC_Deserialize(fresh.get(), text.c_str()) == PR_SUCCESS) {
      ++accepted;
      Message again = RoundTrip(fresh.get());
      ASSERT_EQ(Fields(again.get()), Fields(fresh.get())) << text;
      // Nested values may be read too; they must not crash either way.
      for (int i = 0; i < IPC_MessageGetCount(fresh.get()); ++i) {
        Message nested = New();
        IPC_Deserialize(nested.get(), IPC_MessageGetValueAt(fresh.get(), i));
      }
    } else {
      ++rejected;
      ASSERT_EQ(IPC_MessageGetCount(fresh.get()), 0) << text;
      ASSERT_EQ(IPC_Deserialize(m.get(), text.c_str()), PR_FAILURE) << text;
      ASSERT_EQ(IPC_MessageGetCount(m.get()), 1);
      ASSERT_STREQ(IPC_MessageGetValue(m.get(), "keep"), "me");
    }
  }
  // Both outcomes occur, so the check above exercised both paths.
  EXPECT_GT(accepted, 0);
  EXPECT_GT(rejected, 0);
}

}  // namespace
