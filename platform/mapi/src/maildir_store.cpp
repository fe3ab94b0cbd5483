// The Maildir store provider (being written).
#include "provider.h"

namespace tesk::mapi {

StoreIdentity CreateMaildirStore(const std::string&, const std::string&, StoreKind, MaildirLayout, bool) {
  throw MapiError(MAPI_E_NO_SUPPORT, "Maildir stores are not built yet");
}

const ProviderFactory& MaildirProviderFactory() {
  struct Stub final : ProviderFactory {
    std::string Name() const override { return "maildir"; }
    std::string DisplayName() const override { return "Maildir folders"; }
    void Validate(const StoreSettings&) const override {}
    std::string Location(const StoreSettings& s) const override { return SettingString(s, "path").value_or(""); }
    std::shared_ptr<StoreProvider> Open(const StoreSettings&) const override {
      throw MapiError(MAPI_E_NO_SUPPORT, "Maildir stores are not built yet");
    }
  };
  static const Stub factory;
  return factory;
}

}  // namespace tesk::mapi
