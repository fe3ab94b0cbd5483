// Folder paths of the profile: "Store\Folder\Subfolder", below each store's
// IPM subtree, names compared with ASCII letters folded.
#pragma once

#include <atlbase.h>
#include <mapiutil.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace mapiadmin {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws Failure with the text and the code's name when hr failed.
void Check(HRESULT hr, const std::string& what);
std::string CodeName(HRESULT hr);

struct StoreRow {
  std::string name;
  std::string entryId;
  bool isDefault = false;
  std::string kind;  // from PR_MDB_PROVIDER and the store's own props
};

class Profile {
 public:
  explicit Profile(const std::string& name);
  ~Profile();
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;

  std::vector<StoreRow> Stores();
  CComPtr<IMsgStore> OpenStore(const StoreRow& row);
  CComPtr<IMAPIFolder> IpmSubtree(IMsgStore* store);
  // Resolves a path; with create, missing folders are created (the last
  // one with the class, when given).
  CComPtr<IMAPIFolder> Resolve(const std::string& path, bool create, const std::string& cls = {});
  IMAPISession* session() const { return session_; }

 private:
  CComPtr<IMAPISession> session_;
};

std::vector<std::string> SplitPath(const std::string& path);
std::string FolderName(IMAPIProp* folder);
std::string StringProp(IMAPIProp* obj, ULONG tag);
std::string BinaryProp(IMAPIProp* obj, ULONG tag);
// Direct subfolders as (name, entry id), in table order.
std::vector<std::pair<std::string, std::string>> Subfolders(IMAPIFolder* folder);

}  // namespace mapiadmin
