#include "generate.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace mapiadmin {

namespace {

const char* const kFirst[] = {"Anna", "Bernd", "Claudia", "Dieter", "Eva", "Frank", "Greta", "Hans", "Ines", "Jörg",
                              "Karin", "Lukas", "Maria", "Nils", "Olga", "Peter", "Rita", "Stefan", "Tanja", "Uwe"};
const char* const kLast[] = {"Müller", "Schmidt", "Schneider", "Fischer", "Weber", "Meyer", "Wagner", "Becker",
                             "Schulz", "Hoffmann", "Koch", "Richter", "Klein", "Wolf", "Schröder", "Neumann"};
const char* const kDomains[] = {"example.org", "example.com", "example.net", "mail.example.de", "corp.example"};
const char* const kSubjects[] = {"Quarterly report", "Meeting notes", "Re: invoice", "Travel plans", "Project status",
                                 "Budget review", "Lunch on Friday?", "Fwd: contract draft", "Server maintenance",
                                 "Weekly summary", "Urlaubsantrag", "Angebot für Büromöbel", "Re: Re: schedule",
                                 "Customer feedback", "Release checklist", "Training session"};
const char* const kWords[] = {"the",     "project", "schedule", "customer", "report", "please", "review", "attached",
                              "meeting", "budget",  "update",   "team",     "next",   "week",   "thanks", "regards",
                              "server",  "release", "contract", "draft",    "offer",  "invoice", "Grüße", "bitte",
                              "and",     "with",    "for",      "on",       "we",     "will",   "send",   "today"};

template <class T, size_t N>
const T& Pick(std::mt19937_64& rng, const T (&arr)[N]) {
  return arr[std::uniform_int_distribution<size_t>(0, N - 1)(rng)];
}

std::string Text(std::mt19937_64& rng, size_t bytes) {
  std::string out;
  out.reserve(bytes + 16);
  size_t sentence = 0;
  while (out.size() < bytes) {
    std::string w = Pick(rng, kWords);
    if (sentence == 0 && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
    out += w;
    if (++sentence > 6 && rng() % 5 == 0) {
      out += rng() % 4 == 0 ? ".\r\n\r\n" : ". ";
      sentence = 0;
    } else {
      out += ' ';
    }
  }
  return out;
}

// Long-tailed sizes: lognormal with the given mean, capped.
size_t Size(std::mt19937_64& rng, double mean, double sigma, size_t cap) {
  const double mu = std::log(mean) - sigma * sigma / 2;
  std::lognormal_distribution<double> d(mu, sigma);
  return std::min(cap, static_cast<size_t>(d(rng)) + 16);
}

std::int64_t Filetime(std::mt19937_64& rng) {
  // Some time in 2024-2026.
  const std::int64_t start = 1704067200LL, span = 3LL * 365 * 86400;
  const std::int64_t unix = start + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span));
  return (unix + 11644473600LL) * 10000000LL;
}

struct Value {
  SPropValue v{};
  std::string keep;  // backing bytes
};

}  // namespace

std::uint64_t Generate(IMAPIFolder* folder, const GenerateOptions& options) {
  std::mt19937_64 rng(options.seed);
  std::uint64_t bytes = 0;
  for (std::uint64_t n = 0; n < options.messages; ++n) {
    CComPtr<IMessage> msg;
    Check(folder->CreateMessage(nullptr, 0, &msg), "CreateMessage");

    const std::string senderName = std::string(Pick(rng, kFirst)) + " " + Pick(rng, kLast);
    std::string senderMail = senderName.substr(0, senderName.find(' '));
    std::transform(senderMail.begin(), senderMail.end(), senderMail.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    senderMail += "@" + std::string(Pick(rng, kDomains));
    std::string subject = Pick(rng, kSubjects);
    if (rng() % 3 == 0) subject += " #" + std::to_string(rng() % 1000);
    const std::string body = Text(rng, Size(rng, 8000, 1.1, 400000));
    std::string html = "<html><body><p>" + Text(rng, Size(rng, 11000, 1.1, 600000)) + "</p></body></html>";
    const std::int64_t sent = Filetime(rng);
    const std::int64_t received = sent + static_cast<std::int64_t>(rng() % 600) * 10000000LL;
    const std::string messageId = "<" + std::to_string(options.seed) + "." + std::to_string(n) + "@generated.example>";

    std::vector<Value> vals(14);
    auto str = [](Value& x, ULONG tag, std::string s) {
      x.keep = std::move(s);
      x.v.ulPropTag = tag;
      x.v.Value.lpszA = x.keep.data();
    };
    auto ft = [](Value& x, ULONG tag, std::int64_t t) {
      x.v.ulPropTag = tag;
      x.v.Value.ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
      x.v.Value.ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
    };
    str(vals[0], PR_MESSAGE_CLASS_A, "IPM.Note");
    str(vals[1], PR_SUBJECT_A, subject);
    str(vals[2], PR_BODY_A, body);
    vals[3].keep = html;
    vals[3].v.ulPropTag = PR_HTML;
    vals[3].v.Value.bin.cb = static_cast<ULONG>(vals[3].keep.size());
    vals[3].v.Value.bin.lpb = reinterpret_cast<LPBYTE>(vals[3].keep.data());
    str(vals[4], PR_SENDER_NAME_A, senderName);
    str(vals[5], PR_SENDER_EMAIL_ADDRESS_A, senderMail);
    str(vals[6], PR_SENDER_ADDRTYPE_A, "SMTP");
    ft(vals[7], PR_CLIENT_SUBMIT_TIME, sent);
    ft(vals[8], PR_MESSAGE_DELIVERY_TIME, received);
    vals[9].v.ulPropTag = PR_IMPORTANCE;
    vals[9].v.Value.l = rng() % 10 == 0 ? IMPORTANCE_HIGH : IMPORTANCE_NORMAL;
    vals[10].v.ulPropTag = PR_MESSAGE_FLAGS;
    vals[10].v.Value.l = rng() % 4 == 0 ? 0 : MSGFLAG_READ;
    str(vals[11], PR_INTERNET_MESSAGE_ID_A, messageId);
    str(vals[12], PR_SENT_REPRESENTING_NAME_A, senderName);

    // Recipients: one to four, the first always To.
    const int count = 1 + static_cast<int>(rng() % 4);
    std::vector<std::vector<Value>> recips(static_cast<size_t>(count), std::vector<Value>(4));
    std::string displayTo;
    for (int r = 0; r < count; ++r) {
      std::string name = std::string(Pick(rng, kFirst)) + " " + Pick(rng, kLast);
      std::string mail = name.substr(0, name.find(' ')) + "." + std::to_string(r) + "@" + Pick(rng, kDomains);
      auto& rv = recips[static_cast<size_t>(r)];
      str(rv[0], PR_DISPLAY_NAME_A, name);
      str(rv[1], PR_EMAIL_ADDRESS_A, mail);
      str(rv[2], PR_ADDRTYPE_A, "SMTP");
      rv[3].v.ulPropTag = PR_RECIPIENT_TYPE;
      rv[3].v.Value.l = r == 0 || rng() % 2 ? MAPI_TO : MAPI_CC;
      if (rv[3].v.Value.l == MAPI_TO) displayTo += (displayTo.empty() ? "" : "; ") + name;
    }
    str(vals[13], PR_DISPLAY_TO_A, displayTo);
    std::vector<SPropValue> props;
    for (auto& x : vals) props.push_back(x.v);
    Check(msg->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr), "SetProps");

    std::vector<std::vector<SPropValue>> recipProps;
    std::vector<char> listBuf(CbNewADRLIST(recips.size()));
    auto* list = reinterpret_cast<LPADRLIST>(listBuf.data());
    list->cEntries = static_cast<ULONG>(recips.size());
    for (size_t r = 0; r < recips.size(); ++r) {
      recipProps.emplace_back();
      for (auto& x : recips[r]) recipProps.back().push_back(x.v);
      list->aEntries[r].ulReserved1 = 0;
      list->aEntries[r].cValues = static_cast<ULONG>(recipProps.back().size());
      list->aEntries[r].rgPropVals = recipProps.back().data();
    }
    Check(msg->ModifyRecipients(MODRECIP_ADD, list), "ModifyRecipients");

    if (options.attachments && rng() % 100 < 15) {
      const int nAttach = 1 + static_cast<int>(rng() % 2);
      for (int a = 0; a < nAttach; ++a) {
        CComPtr<IAttach> att;
        ULONG num = 0;
        Check(msg->CreateAttach(nullptr, 0, &num, &att), "CreateAttach");
        std::string data = Text(rng, Size(rng, 30000, 1.3, 2000000));
        bytes += data.size();
        std::string fileName = "document-" + std::to_string(n) + "-" + std::to_string(a) + ".txt";
        std::vector<Value> av(4);
        av[0].v.ulPropTag = PR_ATTACH_METHOD;
        av[0].v.Value.l = ATTACH_BY_VALUE;
        str(av[1], PR_ATTACH_LONG_FILENAME_A, fileName);
        str(av[2], PR_ATTACH_MIME_TAG_A, "text/plain");
        av[3].keep = std::move(data);
        av[3].v.ulPropTag = PR_ATTACH_DATA_BIN;
        av[3].v.Value.bin.cb = static_cast<ULONG>(av[3].keep.size());
        av[3].v.Value.bin.lpb = reinterpret_cast<LPBYTE>(av[3].keep.data());
        std::vector<SPropValue> ap;
        for (auto& x : av) ap.push_back(x.v);
        Check(att->SetProps(static_cast<ULONG>(ap.size()), ap.data(), nullptr), "SetProps on attachment");
        Check(att->SaveChanges(0), "SaveChanges on attachment");
      }
    }
    Check(msg->SaveChanges(0), "SaveChanges");
    bytes += body.size() + html.size();
  }
  return bytes;
}

}  // namespace mapiadmin
