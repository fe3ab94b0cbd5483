// Administration of the messaging subsystem: profiles and store files.
// Every function throws std::runtime_error with a message for the user.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tesk::mapi::admin {

struct StoreSummary {
  std::string name;
  std::string file;  // where the store lives: its file or folder
  std::string kind;
  bool isDefault;
  std::string provider;
};

struct ProfileSummary {
  std::string name;
  bool isDefault;
  size_t stores;
};

std::string ProfileDirectory();
void CreateProfile(const std::string& name, bool makeDefault);
std::vector<ProfileSummary> ListProfiles();
void SetDefaultProfile(const std::string& name);
void DeleteProfile(const std::string& name);

// kind: "mailbox", "archive" or "public".
void CreateStore(const std::string& file, const std::string& displayName, const std::string& kind);
void AddStore(const std::string& profile, const std::string& file, bool makeDefault);
// Adds a Maildir (layout "maildir++" or "fs") as a store; with create the
// directory is made when missing. A Maildir that is not yet a store becomes
// one (its folders and messages stay as they are).
void AddMaildirStore(const std::string& profile, const std::string& dir, const std::string& displayName,
                     const std::string& kind, const std::string& layout, bool create, bool makeDefault);
// Adds an IMAP account (url imaps://HOST[:PORT] or imap://HOST[:PORT]) as a
// store; with check, logs in first and refuses an account that does not
// take the login.
struct ImapAccount {
  std::string url;
  std::string displayName;
  std::string user;
  std::string passwordFile;
  std::string tokenFile;  // an OAuth 2.0 bearer token instead of the password
  std::string oauth2;     // NAME of the profile's [oauth2.NAME]: tokens renewed from its refresh token
  std::string kind = "mailbox";  // "public": the server's shared folders
  std::string tls;        // "none" for a server on this machine without TLS
  std::string caFile;
  bool check = true;
  // More keys of the provider's (KEY, VALUE as typed: a list's strings
  // separated by commas, none for the empty list), e.g. the server's quirks.
  std::vector<std::pair<std::string, std::string>> keys;
};
void AddImapStore(const std::string& profile, const ImapAccount& account, bool makeDefault);
// Opens a store and says in lines what it found (an IMAP store: the login,
// capabilities, namespace and special-use folders); throws with one line
// saying what is wrong.
std::vector<std::string> CheckStore(const std::string& profile, const std::string& displayName);
// The upkeep of a store that keeps its data in a file of its own (a local
// store file); for the other kinds of store each throws saying so.
// CheckStoreData reads every stored content back against its digest, runs
// the file's integrity check and counts the references: a line for each
// damage, none when the store is whole. progress hears the contents read.
std::vector<std::string> CheckStoreData(const std::string& profile, const std::string& displayName,
                                        const std::function<void(std::uint64_t)>& progress = {});
struct StoreStatistics {
  std::uint64_t folders = 0;
  std::uint64_t snapshots = 0;        // folders named by a save's time stamp
  std::uint64_t messages = 0;
  std::uint64_t sharedMessages = 0;   // messages kept as shared content (bytes, or kept whole)
  std::uint64_t logicalBytes = 0;     // what the messages would take as separate copies
  std::uint64_t referencedBytes = 0;  // shared content, counted once per message
  std::uint64_t contents = 0;         // distinct contents
  std::uint64_t contentBytes = 0;     // their bytes, once each
  std::uint64_t packedBytes = 0;      // the same, as stored (compressed)
  std::uint64_t ownBytes = 0;         // what the messages keep of their own
  std::uint64_t fileBytes = 0;        // the whole file with its journal
  std::uint64_t freeBytes = 0;        // free space inside the file
};
// Of the folder path below the store's top (names separated by
// backslashes) and all below it; of the whole store for an empty path.
StoreStatistics StoreStats(const std::string& profile, const std::string& displayName, const std::string& folderPath);
// Gives the file's free space back to the file system; returns the bytes
// the file shrank by.
std::uint64_t CompactStore(const std::string& profile, const std::string& displayName);
// Adds an Outlook data file (PST) as a read-only store. Without a
// displayName the store takes the name the file gives itself. Without
// associated, the store leaves out the file's associated messages (Outlook's
// views and rules of its folders), which a Maildir, for one, cannot keep.
void AddPstStore(const std::string& profile, const std::string& file, const std::string& displayName,
                 const std::string& kind, bool makeDefault, bool associated = true);
// An authorization profile [oauth2.NAME] of a profile, for the stores that
// log in with OAuth 2.0 (keys: preset, token_endpoint, device_endpoint,
// authorize_endpoint, client_id, client_secret_file, scope,
// refresh_token_file, ca_file, timeout). Replaces one of the same name.
void SetOAuth2(const std::string& profile, const std::string& name, const std::map<std::string, std::string>& keys);
// Gets the first refresh token of [oauth2.NAME] and writes its file: by the
// device grant (say shows the address and the code to enter there) or, with
// browser, by the authorization code grant whose answer comes back to a
// loopback port (say shows the address to open).
void OAuth2Login(const std::string& profile, const std::string& name, bool browser, const std::string& loginHint,
                 const std::function<void(const std::string&)>& say);

std::vector<StoreSummary> ProfileStores(const std::string& profile);
void RemoveStore(const std::string& profile, const std::string& displayName);

// The profile's mail transport (SMTP URL smtp://host:port or
// smtps://host:port, sender address, optional login with the password in a
// file, STARTTLS on request).
void SetTransport(const std::string& profile, const std::string& smtpUrl, const std::string& from,
                  const std::string& user, const std::string& passwordFile, bool startTls);

// Messages waiting in the Outbox of the profile's default store.
struct OutboxMessage {
  std::string subject;
  std::string recipients;
  bool submitted;  // waiting for the transport
};
std::vector<OutboxMessage> Outbox(const std::string& profile);
// Hands every submitted message to the transport; returns how many were
// delivered and adds a line per failure.
size_t SendOutbox(const std::string& profile, std::vector<std::string>& failures);

}  // namespace tesk::mapi::admin
