// mapiadmin: administration of MAPI profiles, store files and folders.
#include <mapi/admin.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <tuple>

#include "complete.h"
#include "folders.h"
#include "generate.h"
#include "oauth2_cmd.h"
#include "prune.h"
#include "schedule.h"
#include "tree.h"
#include "upkeep.h"
#include "verify.h"

using namespace mapiadmin;
namespace admin = tesk::mapi::admin;

namespace {

int TreeCommand(const std::string& profileName, const std::string& path, bool json) {
  Profile profile(profileName);
  if (!path.empty()) {
    auto folder = profile.Resolve(path, false);
    std::string out;
    if (json) {
      FolderJson(folder, 0, out);
      out += "\n";
    } else {
      PrintTree(folder, path, 0, out);
    }
    std::cout << out;
    return 0;
  }
  const auto kinds = admin::ProfileStores(profileName.empty() ? std::string() : profileName);
  // {"stores": [...]} as nlohmann::json's dump(2) writes it; each store's
  // keys in its order, the folder tree ("root") last.
  std::string stores;
  std::string text;
  bool first = true;
  for (const auto& row : profile.Stores()) {
    std::string kind = row.kind;
    for (const auto& s : kinds)
      if (s.name == row.name) kind = s.kind;
    CComPtr<IMsgStore> store;
    std::string error;
    try {
      store = profile.OpenStore(row);
    } catch (const Failure& e) {
      error = e.what();
    }
    if (!json) {
      if (!error.empty()) {
        text += row.name + "  (" + kind + ") cannot be opened: " + error + "\n";
        continue;
      }
      auto root = profile.IpmSubtree(store);
      text += row.name + "  (" + kind + (row.isDefault ? ", default" : "") + ")\n";
      for (const auto& [name, eid] : Subfolders(root)) {
        std::string id = eid;
        CComPtr<IUnknown> obj;
        ULONG type = 0;
        Check(root->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), &IID_IMAPIFolder,
                              MAPI_BEST_ACCESS, &type, &obj),
              "opening folder \"" + name + "\"");
        CComQIPtr<IMAPIFolder> child(obj.p);
        PrintTree(child, name, 1, text);
      }
      continue;
    }
    stores += first ? "\n" : ",\n";
    first = false;
    stores += "    {\n      \"default\": " + std::string(row.isDefault ? "true" : "false") + ",\n";
    if (!error.empty()) stores += "      \"error\": " + nlohmann::json(JsonText(error)).dump() + ",\n";
    stores += "      \"kind\": " + nlohmann::json(kind).dump() + ",\n";
    stores += "      \"name\": " + nlohmann::json(JsonText(row.name)).dump();
    if (error.empty()) {
      stores += ",\n      \"root\": ";
      FolderJson(profile.IpmSubtree(store), 3, stores);
    }
    stores += "\n    }";
  }
  if (json)
    std::cout << "{\n  \"stores\": [" << stores << (first ? "]" : "\n  ]") << "\n}\n";
  else
    std::cout << text;
  return 0;
}

// A display name: not empty, no backslash (it starts every folder path), no
// control characters.
CLI::Validator DisplayNameCheck() {
  return CLI::Validator(
      [](std::string& v) -> std::string {
        if (v.empty()) return "a display name must not be empty";
        for (char c : v) {
          if (c == '\\') return "a display name must not contain a backslash";
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a display name must not contain control characters";
        }
        return {};
      },
      "NAME");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Administration of MAPI profiles, store files and folders"};
  app.require_subcommand(1);

  auto* profile = app.add_subcommand("profile", "Create, list, choose and delete profiles");
  profile->require_subcommand(1);
  std::string name, file, displayName, kind = "mailbox", path, cls;
  bool makeDefault = false, json = false, attachments = false;
  std::uint64_t messages = 0, seed = 1;

  auto* pCreate = profile->add_subcommand("create", "Create a profile");
  pCreate->add_option("NAME", name, "profile name")->required();
  pCreate->add_flag("--default", makeDefault, "make it the default profile");
  auto* pList = profile->add_subcommand("list", "List the profiles");
  auto* pDefault = profile->add_subcommand("default", "Make a profile the default");
  pDefault->add_option("NAME", name, "profile name")->required();
  auto* pDelete = profile->add_subcommand("delete", "Delete a profile (its store files stay)");
  pDelete->add_option("NAME", name, "profile name")->required();

  auto* store = app.add_subcommand("store", "Create store files and add them to profiles");
  store->require_subcommand(1);
  auto* sCreate = store->add_subcommand("create", "Create a store file");
  sCreate->add_option("FILE", file, "store file")->required();
  sCreate->add_option("--name", displayName, "display name")->required()->check(DisplayNameCheck());
  sCreate->add_option("--kind", kind, "mailbox, archive or public")
      ->check(CLI::IsMember({"mailbox", "archive", "public"}));
  auto* sAdd = store->add_subcommand("add", "Add a store file to a profile");
  sAdd->add_option("PROFILE", name, "profile name")->required();
  sAdd->add_option("FILE", file, "store file")->required();
  sAdd->add_flag("--default", makeDefault, "make it the profile's default store");
  std::string layout = "maildir++";
  bool create = false;
  auto* sAddMaildir = store->add_subcommand("add-maildir", "Add a Maildir to a profile as a store");
  sAddMaildir->add_option("PROFILE", name, "profile name")->required();
  sAddMaildir->add_option("DIR", file, "the Maildir's top directory")->required();
  sAddMaildir->add_option("--name", displayName, "display name")->required()->check(DisplayNameCheck());
  sAddMaildir->add_option("--kind", kind, "mailbox, archive or public")
      ->check(CLI::IsMember({"mailbox", "archive", "public"}));
  sAddMaildir->add_option("--layout", layout, "maildir++ (folders .A.B) or fs (folders A/B)")
      ->check(CLI::IsMember({"maildir++", "fs"}));
  sAddMaildir->add_flag("--create", create, "make the Maildir when it does not exist");
  sAddMaildir->add_flag("--default", makeDefault, "make it the profile's default store");
  admin::ImapAccount imap;
  bool noCheck = false;
  auto* sAddImap = store->add_subcommand("add-imap", "Add an IMAP account to a profile as a store");
  sAddImap->add_option("PROFILE", name, "profile name")->required();
  sAddImap->add_option("URL", imap.url, "imaps://HOST[:PORT] or imap://HOST[:PORT] (STARTTLS)")->required();
  sAddImap->add_option("--name", imap.displayName, "display name")->required()->check(DisplayNameCheck());
  sAddImap->add_option("--user", imap.user, "login name")->required();
  sAddImap->add_option("--password-file", imap.passwordFile, "file whose first line is the password (mode 600)");
  sAddImap->add_option("--oauth2-token-file", imap.tokenFile, "file whose first line is an OAuth 2.0 bearer token");
  sAddImap->add_option("--oauth2", imap.oauth2, "log in with the profile's authorization [oauth2.NAME] (oauth2 add)");
  sAddImap->add_option("--kind", imap.kind, "mailbox, archive or public (the server's shared folders)")
      ->check(CLI::IsMember({"mailbox", "archive", "public"}));
  sAddImap->add_option("--tls", imap.tls, "none: no TLS, for a server on this machine only")
      ->check(CLI::IsMember({"none", "starttls", "implicit"}));
  sAddImap->add_option("--ca-file", imap.caFile, "trusted certificates (PEM) beside the system's");
  std::vector<std::string> imapKeys;
  sAddImap->add_option("--set", imapKeys,
                       "KEY=VALUE: another key of the store (e.g. skip_special_use=\\All,\\Important; max_message_size=N)");
  sAddImap->add_flag("--no-check", noCheck, "add it without logging in first");
  sAddImap->add_flag("--default", makeDefault, "make it the profile's default store");
  auto* sCheck = store->add_subcommand("check", "Open a store and say what it holds or what is wrong");
  sCheck->add_option("PROFILE", name, "profile name")->required();
  sCheck->add_option("DISPLAYNAME", displayName, "display name of the store")->required();
  std::string pstKind = "archive";
  bool noAssociated = false;
  auto* sAddPst = store->add_subcommand("add-pst", "Add an Outlook data file (.pst) to a profile, read-only");
  sAddPst->add_option("PROFILE", name, "profile name")->required();
  sAddPst->add_option("FILE", file, "the .pst file")->required();
  sAddPst->add_option("--name", displayName, "display name (default: the file's own)")->check(DisplayNameCheck());
  sAddPst->add_option("--kind", pstKind, "archive (default), mailbox or public")
      ->check(CLI::IsMember({"mailbox", "archive", "public"}));
  sAddPst->add_flag("--no-associated", noAssociated,
                    "leave out Outlook's associated messages (views, rules), e.g. for a restore into a Maildir");
  sAddPst->add_flag("--default", makeDefault, "make it the profile's default store");
  auto* sRemove = store->add_subcommand("remove", "Remove a store from a profile (the file stays)");
  sRemove->add_option("PROFILE", name, "profile name")->required();
  sRemove->add_option("DISPLAYNAME", displayName, "display name of the store")->required();

  auto* folder = app.add_subcommand("folder", "Create folders");
  folder->require_subcommand(1);
  auto* fCreate = folder->add_subcommand("create", "Create a folder path, with missing levels");
  fCreate->add_option("PROFILE", name, "profile name")->required();
  fCreate->add_option("PATH", path, "Store\\Folder\\...")->required();
  fCreate->add_option("--class", cls, "container class of the last folder");

  auto* generate = app.add_subcommand("generate", "Fill a folder with generated messages");
  generate->add_option("PROFILE", name, "profile name")->required();
  generate->add_option("PATH", path, "Store\\Folder\\... (created when missing)")->required();
  // At most ten million messages: more is a typing mistake, not a test store.
  generate->add_option("--messages", messages, "number of messages (1 to 10000000)")
      ->required()
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{10000000}));
  generate->add_option("--seed", seed, "seed of the generator")->check(CLI::Validator(
      [](std::string& v) -> std::string {
        const bool digits = !v.empty() && v.size() <= 19 && v.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : "a seed is a whole number from 0 to 9999999999999999999";
      },
      "SEED"));
  generate->add_flag("--attachments", attachments, "give some messages attachments");

  std::string smtp, from, user, passwordFile;
  bool startTls = false, send = false;
  auto* transport = app.add_subcommand("transport", "Set a profile's mail transport");
  transport->add_option("PROFILE", name, "profile name")->required();
  transport->add_option("--smtp", smtp, "smtp://host:port or smtps://host:port")->required();
  transport->add_option("--from", from, "sender address")->required();
  transport->add_option("--user", user, "login name");
  transport->add_option("--password-file", passwordFile, "file holding the password");
  transport->add_flag("--starttls", startTls, "require STARTTLS");

  auto* outbox = app.add_subcommand("outbox", "List (and send) what waits in the Outbox");
  outbox->add_option("PROFILE", name, "profile name")->required();
  outbox->add_flag("--send", send, "hand every waiting message to the transport");

  auto* tree = app.add_subcommand("tree", "Show stores and folders");
  tree->add_option("PROFILE", name, "profile name")->required();
  tree->add_option("PATH", path, "only this folder and what lies below it");
  tree->add_flag("--json", json, "JSON with message digests, for comparing trees");

  KeepPolicy keep;
  bool dryRun = false;
  auto* prune = app.add_subcommand("prune", "Delete the snapshots a policy does not keep (as restic forget)");
  prune->add_option("PROFILE", name, "profile name")->required();
  prune->add_option("FOLDERPATH", path, "the folder the snapshots were saved into")->required();
  for (auto [flag, field, what] : {std::tuple{"--keep-last", &keep.last, "the newest N"},
                                   std::tuple{"--keep-hourly", &keep.hourly, "the newest of each of the last N hours"},
                                   std::tuple{"--keep-daily", &keep.daily, "the newest of each of the last N days"},
                                   std::tuple{"--keep-weekly", &keep.weekly, "the newest of each of the last N weeks"},
                                   std::tuple{"--keep-monthly", &keep.monthly, "the newest of each of the last N months"},
                                   std::tuple{"--keep-yearly", &keep.yearly, "the newest of each of the last N years"}})
    prune->add_option(flag, *field, what)->check(CLI::Range(0, 1000000));
  prune->add_flag("--dry-run", dryRun, "say what would be deleted, delete nothing");

  std::string snapshotPath;
  auto* verify = app.add_subcommand("verify", "Compare a snapshot with its source, folder by folder and message by message");
  verify->add_option("PROFILE", name, "profile name")->required();
  verify->add_option("SOURCEPATH", path, "the folder that was saved")->required();
  verify->add_option("SNAPSHOTPATH", snapshotPath, "the snapshot folder it was saved into")->required();

  std::string storeName;
  auto* checkData = app.add_subcommand("check", "Read every content of a store file back and check it, its digest and the file");
  checkData->add_option("PROFILE", name, "profile name")->required();
  checkData->add_option("STORE", storeName, "the store's display name")->required();
  auto* stats = app.add_subcommand("stats", "Logical and stored bytes of a store file, its compression and sharing");
  stats->add_option("PROFILE", name, "profile name")->required();
  stats->add_option("STORE", storeName, "the store's display name")->required();
  stats->add_option("FOLDERPATH", path, "only this folder (below the store's top) and what lies below it");
  auto* compact = app.add_subcommand("compact", "Give a store file's free space back to the file system");
  compact->add_option("PROFILE", name, "profile name")->required();
  compact->add_option("STORE", storeName, "the store's display name")->required();

  const auto runOAuth2 = AddOAuth2Commands(app);
  ScheduleRequest scheduleRequest;
  auto* schedule = AddScheduleCommand(app, scheduleRequest);
  std::vector<std::string> completeWords;
  auto* complete = AddCompleteCommand(app, completeWords);

  CLI11_PARSE(app, argc, argv);

  try {
    if (pCreate->parsed()) {
      admin::CreateProfile(name, makeDefault);
    } else if (pList->parsed()) {
      for (const auto& p : admin::ListProfiles())
        std::cout << p.name << (p.isDefault ? "  (default)" : "") << "  " << p.stores
                  << (p.stores == 1 ? " store" : " stores") << "\n";
    } else if (pDefault->parsed()) {
      admin::SetDefaultProfile(name);
    } else if (pDelete->parsed()) {
      admin::DeleteProfile(name);
    } else if (sCreate->parsed()) {
      admin::CreateStore(file, displayName, kind);
    } else if (sAdd->parsed()) {
      admin::AddStore(name, file, makeDefault);
    } else if (sAddMaildir->parsed()) {
      admin::AddMaildirStore(name, file, displayName, kind, layout, create, makeDefault);
    } else if (sAddImap->parsed()) {
      if (!imap.passwordFile.empty() + !imap.tokenFile.empty() + !imap.oauth2.empty() != 1)
        throw std::runtime_error("add-imap needs --password-file, --oauth2 or --oauth2-token-file (one of them)");
      imap.check = !noCheck;
      for (const auto& kv : imapKeys) {
        const size_t eq = kv.find('=');
        if (eq == std::string::npos || eq == 0) throw std::runtime_error("--set takes KEY=VALUE, not \"" + kv + "\"");
        imap.keys.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
      }
      admin::AddImapStore(name, imap, makeDefault);
    } else if (sCheck->parsed()) {
      for (const auto& line : admin::CheckStore(name, displayName)) std::cout << line << "\n";
    } else if (sAddPst->parsed()) {
      admin::AddPstStore(name, file, displayName, pstKind, makeDefault, !noAssociated);
    } else if (sRemove->parsed()) {
      admin::RemoveStore(name, displayName);
    } else if (fCreate->parsed()) {
      Profile p(name);
      p.Resolve(path, true, cls);
    } else if (generate->parsed()) {
      Profile p(name);
      auto target = p.Resolve(path, true);
      auto start = std::chrono::steady_clock::now();
      const auto bytes = Generate(target, {messages, seed, attachments});
      const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "generated %llu messages (%.1f MB) in %.1f s\n", static_cast<unsigned long long>(messages),
                   static_cast<double>(bytes) / 1e6, secs);
    } else if (transport->parsed()) {
      admin::SetTransport(name, smtp, from, user, passwordFile, startTls);
    } else if (outbox->parsed()) {
      if (send) {
        std::vector<std::string> failures;
        const size_t sent = admin::SendOutbox(name, failures);
        std::cout << sent << (sent == 1 ? " message" : " messages") << " sent\n";
        for (const auto& f : failures) std::cerr << "mapiadmin: not sent: " << f << "\n";
        if (!failures.empty()) return 1;
      }
      for (const auto& m : admin::Outbox(name))
        std::cout << (m.submitted ? "waiting  " : "draft    ") << m.subject << "  to " << m.recipients << "\n";
    } else if (tree->parsed()) {
      return TreeCommand(name, path, json);
    } else if (prune->parsed()) {
      return PruneCommand(name, path, keep, dryRun);
    } else if (verify->parsed()) {
      Profile p(name);
      auto source = p.Resolve(path, false);
      auto snapshot = p.Resolve(snapshotPath, false);
      const VerifyCounts c = VerifyFolders(source, snapshot, std::cout);
      std::cout << c.folders << (c.folders == 1 ? " folder" : " folders") << " and " << c.messages
                << (c.messages == 1 ? " message" : " messages") << " compared: "
                << (c.differences ? std::to_string(c.differences) + (c.differences == 1 ? " difference" : " differences")
                                  : std::string("no differences"))
                << "\n";
      return c.differences ? 1 : 0;
    } else if (checkData->parsed()) {
      return CheckCommand(name, storeName);
    } else if (stats->parsed()) {
      return StatsCommand(name, storeName, path);
    } else if (compact->parsed()) {
      return CompactCommand(name, storeName);
    } else if (const auto rc = runOAuth2()) {
      return *rc;
    } else if (schedule->parsed()) {
      return RunSchedule(scheduleRequest);
    } else if (complete->parsed()) {
      return RunComplete(completeWords);
    }
  } catch (const std::exception& e) {
    std::cerr << "mapiadmin: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
