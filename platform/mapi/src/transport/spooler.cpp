#include "transport/spooler.h"

#include "inetmail/inetmail.h"

#include <curl/curl.h>
#include <mapiguid.h>
#include <mapitags.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "core/entryid.h"

namespace tesk::mapi {

namespace {

std::string Text(const PropList& props, ULONG tagA) {
  const Prop* p = FindProp(props, PROP_ID(tagA));
  if (!p) return {};
  auto v = ConvertTo(*p, PT_STRING8);
  return v ? v->b : std::string();
}

struct Recipient {
  std::string name, address;
  ULONG type = MAPI_TO;
};

std::vector<Recipient> Recipients(const MessageData& m) {
  std::vector<Recipient> out;
  for (const auto& r : m.recipients) {
    Recipient rcpt;
    if (const Prop* t = FindProp(r, PROP_ID(PR_RECIPIENT_TYPE))) rcpt.type = static_cast<ULONG>(t->i) & 0xF;
    std::string type = Text(r, PR_ADDRTYPE_A);
    rcpt.address = Text(r, PR_EMAIL_ADDRESS_A);
    rcpt.name = Text(r, PR_DISPLAY_NAME_A);
    if (const Prop* e = FindProp(r, PROP_ID(PR_ENTRYID))) {
      std::string n, t, a;
      if (ParseOneOff(e->b, &n, &t, &a)) {
        if (rcpt.address.empty()) rcpt.address = a;
        if (type.empty()) type = t;
      }
    }
    if (!rcpt.address.empty() && (type.empty() || EqualsNoCase(type, "SMTP"))) out.push_back(rcpt);
  }
  return out;
}

// The message as it goes out: composed by the Internet mail conversion from
// the message with its recipients as the transport resolved them (one-off
// entries give their addresses), the transport's sender, a fresh Date and
// Message-ID, Bcc left out.
std::string Compose(const MessageData& m, const TransportSettings& transport, const std::vector<Recipient>& rcpts) {
  MessageData out;
  out.props = m.props;
  // Body lines end in CR LF on the wire whatever they ended with before.
  if (const Prop* body = FindProp(m.props, PROP_ID(PR_BODY_A))) {
    const std::string text = ConvertTo(*body, PT_STRING8) ? ConvertTo(*body, PT_STRING8)->b : std::string();
    std::string crlf;
    for (size_t k = 0; k < text.size(); ++k) {
      if (text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n') continue;
      if (text[k] == '\n' || text[k] == '\r') {
        crlf += "\r\n";
        continue;
      }
      crlf += text[k];
    }
    std::erase_if(out.props, [](const Prop& p) { return p.id() == PROP_ID(PR_BODY_A); });
    out.props.push_back(Prop::Bytes(PR_BODY_A, crlf));
  }
  std::int64_t row = 0;
  for (const auto& r : rcpts)
    out.recipients.push_back({Prop::Int(PR_ROWID, row++), Prop::Bytes(PR_DISPLAY_NAME_A, r.name == r.address ? "" : r.name),
                              Prop::Bytes(PR_EMAIL_ADDRESS_A, r.address), Prop::Int(PR_RECIPIENT_TYPE, r.type)});
  const std::string domain = transport.from.substr(transport.from.find('@') + 1);
  return inet::ComposeForSubmission(out, {transport.from, domain});
}

struct Upload {
  const std::string* data;
  size_t pos = 0;
};

size_t ReadUpload(char* buffer, size_t size, size_t n, void* user) {
  auto* up = static_cast<Upload*>(user);
  const size_t left = up->data->size() - up->pos;
  const size_t len = std::min(left, size * n);
  std::memcpy(buffer, up->data->data() + up->pos, len);
  up->pos += len;
  return len;
}

HRESULT SendSmtp(const TransportSettings& t, const std::vector<Recipient>& rcpts, const std::string& text,
                 std::string* error) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return MAPI_E_NOT_ENOUGH_MEMORY;
  curl_slist* list = nullptr;
  for (const auto& r : rcpts) list = curl_slist_append(list, ("<" + r.address + ">").c_str());
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> hold(list, curl_slist_free_all);
  Upload up{&text};
  char errbuf[CURL_ERROR_SIZE] = {};
  const std::string from = "<" + t.from + ">";
  curl_easy_setopt(curl.get(), CURLOPT_URL, t.smtpUrl.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_MAIL_RCPT, list);
  curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, ReadUpload);
  curl_easy_setopt(curl.get(), CURLOPT_READDATA, &up);
  curl_easy_setopt(curl.get(), CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 120L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 2L);
  if (t.startTls) curl_easy_setopt(curl.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!t.user.empty()) {
    curl_easy_setopt(curl.get(), CURLOPT_USERNAME, t.user.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PASSWORD, t.password.c_str());
  }
  const CURLcode rc = curl_easy_perform(curl.get());
  if (rc == CURLE_OK) return S_OK;
  if (error) *error = errbuf[0] ? errbuf : curl_easy_strerror(rc);
  switch (rc) {
    case CURLE_LOGIN_DENIED: return MAPI_E_NO_ACCESS;
    case CURLE_OUT_OF_MEMORY: return MAPI_E_NOT_ENOUGH_MEMORY;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return MAPI_E_INVALID_PARAMETER;
    default: return MAPI_E_NETWORK_ERROR;
  }
}

}  // namespace

bool SafeAddressText(const std::string& text) {
  if (text.find('@') == std::string::npos) return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

std::string MakeOneOff(const std::string& name, const std::string& type, const std::string& address, bool unicode,
                       bool noRichInfo) {
  std::string out(4, '\0');
  out.append(reinterpret_cast<const char*>(MAPI_ONE_OFF_UID), 16);
  out.append(2, '\0');  // version
  const unsigned flags = (noRichInfo ? 0x0001u : 0u) | (unicode ? 0x8000u : 0u);
  out += static_cast<char>(flags & 0xFF);
  out += static_cast<char>(flags >> 8);
  for (const std::string* s : {&name, &type, &address}) {
    if (unicode) {
      out += Utf16Bytes(Utf8ToUtf16(*s));
      out.append(2, '\0');
    } else {
      out += *s;
      out += '\0';
    }
  }
  return out;
}

bool ParseOneOff(const std::string& e, std::string* name, std::string* type, std::string* address) {
  if (e.size() < 24 || std::memcmp(e.data() + 4, MAPI_ONE_OFF_UID, 16) != 0) return false;
  const bool unicode = static_cast<unsigned char>(e[23]) & 0x80;
  size_t pos = 24;
  std::string* fields[] = {name, type, address};
  for (std::string* f : fields) {
    std::string value;
    if (unicode) {
      std::u16string w;
      for (; pos + 1 < e.size(); pos += 2) {
        char16_t c = static_cast<char16_t>(static_cast<unsigned char>(e[pos]) | (static_cast<unsigned char>(e[pos + 1]) << 8));
        if (!c) break;
        w += c;
      }
      if (pos + 1 >= e.size()) return false;
      pos += 2;
      value = Utf16ToUtf8(w);
    } else {
      const size_t end = e.find('\0', pos);
      if (end == std::string::npos) return false;
      value = e.substr(pos, end - pos);
      pos = end + 1;
    }
    if (f) *f = value;
  }
  return true;
}

HRESULT DeliverSubmitted(StoreProvider& store, ObjId message, const TransportSettings& transport, std::string* error) {
  try {
    auto info = store.GetMessage(message);
    if (!info) return MAPI_E_NOT_FOUND;
    MessageData data = store.LoadMessage(message);
    const auto rcpts = Recipients(data);
    if (rcpts.empty()) return MAPI_E_NO_RECIPIENTS;
    for (const auto& r : rcpts)
      if (!SafeAddressText(r.address)) return MAPI_E_INVALID_PARAMETER;
    if (!SafeAddressText(transport.from)) {
      if (error) *error = "the profile's transport has no valid sender address";
      return MAPI_E_UNCONFIGURED;
    }
    if (!transport.refusal.empty()) {
      if (error) *error = transport.refusal;
      return MAPI_E_UNCONFIGURED;
    }
    const std::string text = Compose(data, transport, rcpts);
    HRESULT hr = SendSmtp(transport, rcpts, text, error);
    if (FAILED(hr)) return hr;

    // Delivered: file the message away as it asks.
    auto tx = store.BeginWrite();
    const Prop* del = FindProp(data.props, PROP_ID(PR_DELETE_AFTER_SUBMIT));
    if (del && del->i) {
      store.DeleteMessages(std::span(&message, 1));
    } else {
      const Prop* flags = FindProp(data.props, PROP_ID(PR_MESSAGE_FLAGS));
      std::int64_t f = flags ? flags->i : 0;
      f &= ~std::int64_t{MSGFLAG_SUBMIT | MSGFLAG_UNSENT};
      std::erase_if(data.props, [](const Prop& p) { return p.id() == PROP_ID(PR_MESSAGE_FLAGS); });
      data.props.push_back(Prop::Int(PR_MESSAGE_FLAGS, f | MSGFLAG_READ));
      store.StoreMessage(info->folder, info->associated, data, message);
      if (const Prop* sent = FindProp(data.props, PROP_ID(PR_SENTMAIL_ENTRYID))) {
        auto ref = ParseObjectEntryId(sent->b.data(), sent->b.size());
        if (ref && ref->kind == ObjKind::Folder && ref->store == store.Guid() && store.GetFolder(ref->id))
          store.MoveMessages(std::span(&message, 1), ref->id);
      }
    }
    tx->Commit();
    return S_OK;
  } catch (const MapiError& e) {
    if (error) *error = e.what();
    return e.hr();
  }
}

}  // namespace tesk::mapi
