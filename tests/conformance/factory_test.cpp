// The provider registry: every provider describes the profile keys its
// Validate takes, so that admin and mapiadmin can add and check any
// provider's stores through one path.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "provider.h"

using namespace tesk::mapi;

namespace {

TEST(ProviderFactories, DescribeTheSettingsTheyValidate) {
  std::set<std::string> names;
  for (const ProviderFactory* f : Providers()) {
    SCOPED_TRACE(f->Name());
    EXPECT_TRUE(names.insert(f->Name()).second) << "two providers named " << f->Name();
    EXPECT_EQ(FindProvider(f->Name()), f);
    const auto keys = f->Settings();
    ASSERT_FALSE(keys.empty());
    // An entry with every key's example is one the provider takes.
    StoreSettings all;
    for (const auto& k : keys) {
      EXPECT_FALSE(k.meaning.empty()) << k.key;
      EXPECT_TRUE(all.emplace(k.key, SettingValue{k.type, k.example}).second) << k.key << " twice";
    }
    EXPECT_NO_THROW(f->Validate(all));
    for (const auto& k : keys) {
      // Without a required key it is refused, by an error that names it;
      // with a key of another type, too.
      StoreSettings other = all;
      if (k.required) {
        other.erase(k.key);
        try {
          f->Validate(other);
          ADD_FAILURE() << "taken without " << k.key;
        } catch (const std::runtime_error& e) {
          EXPECT_NE(std::string(e.what()).find(k.key), std::string::npos) << e.what();
        }
      }
      other = all;
      other[k.key] = k.type == SettingValue::Type::Integer ? SettingValue{SettingValue::Type::String, "x"}
                                                           : SettingValue{SettingValue::Type::Integer, "1"};
      EXPECT_THROW(f->Validate(other), std::runtime_error) << k.key << " of another type";
    }
  }
  EXPECT_EQ(FindProvider("no-such-provider"), nullptr);
}

}  // namespace
