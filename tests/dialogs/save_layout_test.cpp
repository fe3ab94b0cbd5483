// The save program's windows as laid out: every text fits its control in
// both languages, and the main window and the folder picker grow.
#include <TeskSave2Dlg.h>

#include "template_layout.h"

using namespace dialog_test;

namespace {

class SaveLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskSaveResources();
  }
};

TEST_F(SaveLayoutTest, EveryTextFitsTheMainWindowInBothLanguages) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    const std::vector<std::string> problems = TemplateProblems(IDD_TESKSAVE2_DIALOG, locale);
    EXPECT_TRUE(problems.empty()) << locale << ": " << problems.size() << " problems\n" << Lines(problems);
  }
}

TEST_F(SaveLayoutTest, EveryTextFitsTheFolderPickerInBothLanguages) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8"}) {
    const std::vector<std::string> problems = TemplateProblems(IDD_FOLDER_PICKER, locale);
    EXPECT_TRUE(problems.empty()) << locale << ": " << problems.size() << " problems\n" << Lines(problems);
  }
}

}  // namespace
