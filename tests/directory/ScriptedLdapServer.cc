#include "ScriptedLdapServer.h"

#include <arpa/inet.h>
#include <lber.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "SlapdFixture.h"

namespace zr {
namespace test {
namespace {

constexpr ber_tag_t kBindRequest = 0x60;
constexpr ber_tag_t kBindResponse = 0x61;
constexpr ber_tag_t kUnbindRequest = 0x42;
constexpr ber_tag_t kSearchRequest = 0x63;
constexpr ber_tag_t kSearchEntry = 0x64;
constexpr ber_tag_t kSearchDone = 0x65;
constexpr ber_tag_t kAbandonRequest = 0x50;

std::string Text(const berval& v) { return std::string(v.bv_val ? v.bv_val : "", v.bv_len); }

std::string DecodeFilter(BerElement* ber) {
  ber_len_t len = 0;
  const ber_tag_t tag = ber_peek_tag(ber, &len);
  switch (tag) {
    case 0xa0:
    case 0xa1:
    case 0xa2: {
      std::string text = tag == 0xa0 ? "(&" : tag == 0xa1 ? "(|" : "(!";
      char* last = nullptr;
      for (ber_tag_t t = ber_first_element(ber, &len, &last); t != LBER_DEFAULT;
           t = ber_next_element(ber, &len, last))
        text += DecodeFilter(ber);
      return text + ")";
    }
    case 0xa3: {
      berval attr = {}, value = {};
      if (ber_scanf(ber, "{mm}", &attr, &value) == LBER_ERROR) return "(?)";
      return "(" + Text(attr) + "=" + Text(value) + ")";
    }
    case 0xa4: {
      berval attr = {};
      if (ber_scanf(ber, "{m", &attr) == LBER_ERROR) return "(?)";
      std::string initial, final;
      std::vector<std::string> any;
      char* last = nullptr;
      for (ber_tag_t t = ber_first_element(ber, &len, &last); t != LBER_DEFAULT;
           t = ber_next_element(ber, &len, last)) {
        berval part = {};
        if (ber_scanf(ber, "m", &part) == LBER_ERROR) return "(?)";
        if (t == 0x80) initial = Text(part);
        if (t == 0x81) any.push_back(Text(part));
        if (t == 0x82) final = Text(part);
      }
      std::string value = initial + "*";
      for (const std::string& a : any) value += a + "*";
      return "(" + Text(attr) + "=" + value + final + ")";
    }
    default:
      ber_skip_tag(ber, &len);
      return "(?)";
  }
}

bool Send(Sockbuf* sb, BerElement* ber) { return ber_flush2(sb, ber, LBER_FLUSH_FREE_ALWAYS) == 0; }

// The first bytes of a message, then nothing: over TLS as one whole record followed by half of the
// record that holds the rest. The connection can send nothing more afterwards.
constexpr size_t kStallAfter = 8;
void SendStalled(int fd, SSL* ssl, BerElement* ber) {
  berval* bytes = nullptr;
  ber_flatten(ber, &bytes);
  ber_free(ber, 1);
  if (!bytes || bytes->bv_len <= kStallAfter) {
    ber_bvfree(bytes);
    return;
  }
  if (!ssl) {
    send(fd, bytes->bv_val, kStallAfter, MSG_NOSIGNAL);
  } else if (SSL_write(ssl, bytes->bv_val, kStallAfter) > 0) {
    BIO* held = BIO_new(BIO_s_mem());
    SSL_set0_wbio(ssl, held);
    SSL_write(ssl, bytes->bv_val + kStallAfter, static_cast<int>(bytes->bv_len - kStallAfter));
    char* record = nullptr;
    const long length = BIO_get_mem_data(held, &record);
    send(fd, record, static_cast<size_t>(length / 2), MSG_NOSIGNAL);
  }
  ber_bvfree(bytes);
}

// liblber's reads and writes of a TLS connection go through its SSL.
int TlsSetup(Sockbuf_IO_Desc* sbiod, void* arg) {
  sbiod->sbiod_pvt = arg;
  return 0;
}
int TlsCtrl(Sockbuf_IO_Desc* sbiod, int opt, void*) {
  return opt == LBER_SB_OPT_DATA_READY && SSL_pending(static_cast<SSL*>(sbiod->sbiod_pvt)) > 0;
}
ber_slen_t TlsRead(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  SSL* ssl = static_cast<SSL*>(sbiod->sbiod_pvt);
  const int n = SSL_read(ssl, buf, static_cast<int>(len));
  if (n > 0) return n;
  if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) return 0;
  errno = ECONNRESET;
  return -1;
}
ber_slen_t TlsWrite(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
  const int n = SSL_write(static_cast<SSL*>(sbiod->sbiod_pvt), buf, static_cast<int>(len));
  if (n > 0) return n;
  errno = EPIPE;
  return -1;
}
Sockbuf_IO gTlsIO = {TlsSetup, nullptr, TlsCtrl, TlsRead, TlsWrite, nullptr};

bool SendResult(Sockbuf* sb, int msgid, ber_tag_t type, int code) {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  ber_printf(ber, "{it{ess}}", msgid, type, code, "", "");
  return Send(sb, ber);
}

void EncodeEntry(BerElement* ber, int msgid, const ScriptedEntry& entry) {
  ber_printf(ber, "{it{s{", msgid, kSearchEntry, entry.dn.c_str());
  for (const auto& attr : entry.attributes) {
    ber_printf(ber, "{s[", attr.first.c_str());
    for (const std::string& v : attr.second) ber_printf(ber, "o", v.data(), static_cast<ber_len_t>(v.size()));
    ber_printf(ber, "]}");
  }
  ber_printf(ber, "}}}");
}

bool SendEntry(Sockbuf* sb, int msgid, const ScriptedEntry& entry) {
  BerElement* ber = ber_alloc_t(LBER_USE_DER);
  EncodeEntry(ber, msgid, entry);
  return Send(sb, ber);
}

}  // namespace

ScriptedLdapServer::ScriptedLdapServer(Script script) : mScript(script) {}

ScriptedLdapServer::~ScriptedLdapServer() {
  Stop();
  SSL_CTX_free(static_cast<SSL_CTX*>(mTls));
}

bool ScriptedLdapServer::UseTls(const std::string& certificatePem, const std::string& keyPem) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) return false;
  SSL_CTX_set_num_tickets(ctx, 0);  // nothing but the script's own records after the handshake
  if (SSL_CTX_use_certificate_file(ctx, certificatePem.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, keyPem.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    return false;
  }
  SSL_CTX_free(static_cast<SSL_CTX*>(mTls));
  mTls = ctx;
  return true;
}

bool ScriptedLdapServer::Start(int port) {
  mListenFd = LoopbackListener(port, 16, &mPort);
  if (mListenFd < 0) return false;
  mAcceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

void ScriptedLdapServer::Stop() {
  if (mStopping.exchange(true)) return;
  if (mListenFd >= 0) shutdown(mListenFd, SHUT_RDWR);
  if (mAcceptThread.joinable()) mAcceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(mMutex);
    for (int fd : mConnectionFds) shutdown(fd, SHUT_RDWR);
    threads.swap(mConnectionThreads);
  }
  for (std::thread& t : threads) t.join();
  if (mListenFd >= 0) close(mListenFd);
  mListenFd = -1;
}

void ScriptedLdapServer::SetEntries(std::vector<ScriptedEntry> entries) {
  std::lock_guard<std::mutex> guard(mMutex);
  mEntries = std::move(entries);
}

std::vector<ReceivedSearch> ScriptedLdapServer::Searches() const { return Locked(mSearches); }

bool ScriptedLdapServer::WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ScriptedLdapServer::AcceptLoop() {
  for (;;) {
    const int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);  // children inherit none
    if (fd < 0) return;
    std::lock_guard<std::mutex> guard(mMutex);
    if (mStopping) {
      close(fd);
      return;
    }
    const Script script = ++mConnections > mScriptedConnections ? Script::kAnswer : mScript;
    mConnectionFds.push_back(fd);
    mConnectionThreads.emplace_back([this, fd, script] { Serve(fd, script); });
  }
}

void ScriptedLdapServer::Serve(int fd, Script script) {
  Sockbuf* sb = ber_sockbuf_alloc();
  SSL* ssl = nullptr;
  bool open = true;
  if (mTls) {
    // Separate read and write BIOs, so that a stall can divert the writes.
    ssl = SSL_new(static_cast<SSL_CTX*>(mTls));
    SSL_set_bio(ssl, BIO_new_socket(fd, BIO_NOCLOSE), BIO_new_socket(fd, BIO_NOCLOSE));
    open = SSL_accept(ssl) == 1;
    ber_sockbuf_add_io(sb, &gTlsIO, LBER_SBIOD_LEVEL_PROVIDER, ssl);
  } else {
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_tcp, LBER_SBIOD_LEVEL_PROVIDER, &fd);
  }

  if (!open) {
  } else if (script == Script::kGarbage) {
    static const char kGarbage[] = "HTTP/1.1 400 Bad Request\r\nThis is no directory.\r\n\r\n";
    char sink[512];
    while (!mStopping) {
      if (send(fd, kGarbage, sizeof kGarbage - 1, MSG_NOSIGNAL) < 0) break;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
  } else {
    int slowMsgid = 0;  // a search being answered one entry per interval
    size_t slowNext = 0;
    bool stalled = false;  // reads on, answers nothing
    while (open && !mStopping) {
      pollfd p = {fd, POLLIN, 0};
      const int ready = (ssl && SSL_pending(ssl) > 0) ? 1 : poll(&p, 1, slowMsgid ? mIntervalMs.load() : 100);
      if (ready == 0) {
        if (slowMsgid) {
          std::unique_lock<std::mutex> guard(mMutex);
          if (mEntries.empty()) continue;
          const ScriptedEntry entry = mEntries[slowNext++ % mEntries.size()];
          guard.unlock();
          if (!SendEntry(sb, slowMsgid, entry)) break;
        }
        continue;
      }
      if (ready < 0) break;
      BerElement* ber = ber_alloc_t(0);
      ber_len_t len = 0;
      if (ber_get_next(sb, &len, ber) == LBER_DEFAULT) {
        ber_free(ber, 1);
        break;
      }
      // ber_get_next has consumed the envelope's own tag and length.
      ber_int_t msgid = 0;
      ber_scanf(ber, "i", &msgid);
      const ber_tag_t op = ber_peek_tag(ber, &len);
      if (op == kBindRequest) {
        {
          std::lock_guard<std::mutex> guard(mMutex);
          ++mBinds;
        }
        if (stalled) {
        } else if (script == Script::kOversized) {
          static const char kHuge[] = "\x30\x84\x7f\xff\xff\xff\x02\x01\x01\x61";
          if (send(fd, kHuge, sizeof kHuge - 1, MSG_NOSIGNAL) < 0) open = false;
        } else if (script == Script::kStallInBindResponse) {
          BerElement* response = ber_alloc_t(LBER_USE_DER);
          ber_printf(response, "{it{ess}}", msgid, kBindResponse, mBindResult.load(), "", "");
          SendStalled(fd, ssl, response);
          stalled = true;
        } else if (!SendResult(sb, msgid, kBindResponse, mBindResult) || script == Script::kCloseAfterBind) {
          open = false;
        }
      } else if (op == kUnbindRequest) {
        open = false;
      } else if (op == kAbandonRequest) {
        ber_int_t abandoned = 0;
        ber_scanf(ber, "i", &abandoned);
        std::lock_guard<std::mutex> guard(mMutex);
        ++mAbandons;
        if (abandoned == slowMsgid) slowMsgid = 0;
      } else if (op == kSearchRequest) {
        ReceivedSearch search;
        berval base = {};
        ber_int_t deref = 0, attrsOnly = 0;
        ber_scanf(ber, "{meeiib", &base, &search.scope, &deref, &search.sizeLimit, &search.timeLimit,
                  &attrsOnly);
        search.base = Text(base);
        search.filter = DecodeFilter(ber);
        char** attrs = nullptr;
        if (ber_scanf(ber, "{v}", &attrs) != LBER_ERROR && attrs) {
          for (char** a = attrs; *a; ++a) search.attributes.push_back(*a);
          ber_memvfree(reinterpret_cast<void**>(attrs));
        }
        std::vector<ScriptedEntry> entries;
        {
          std::lock_guard<std::mutex> guard(mMutex);
          mSearches.push_back(search);
          entries = mEntries;
        }
        switch (stalled ? Script::kStall : script) {
          case Script::kStallInEntry:
            if (!entries.empty()) {
              BerElement* entry = ber_alloc_t(LBER_USE_DER);
              EncodeEntry(entry, msgid, entries.front());
              SendStalled(fd, ssl, entry);
              stalled = true;
            }
            break;
          case Script::kAnswer:
            for (const ScriptedEntry& e : entries) open = open && SendEntry(sb, msgid, e);
            open = open && SendResult(sb, msgid, kSearchDone, 0);
            break;
          case Script::kCloseMidSearch:
            if (!entries.empty()) SendEntry(sb, msgid, entries.front());
            open = false;
            break;
          case Script::kSlowEntries:
            slowMsgid = msgid;
            slowNext = 0;
            break;
          default:
            break;
        }
      }
      ber_free(ber, 1);
    }
  }
  {
    // Forgotten before it is closed, so Stop never shuts down a reused descriptor.
    std::lock_guard<std::mutex> guard(mMutex);
    mConnectionFds.erase(std::remove(mConnectionFds.begin(), mConnectionFds.end(), fd), mConnectionFds.end());
  }
  shutdown(fd, SHUT_RDWR);
  ber_sockbuf_free(sb);  // closes fd, unless it is TLS
  if (ssl) {
    SSL_free(ssl);
    close(fd);
  }
}

}  // namespace test
}  // namespace zr
