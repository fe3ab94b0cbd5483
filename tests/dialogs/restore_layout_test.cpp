// The restore program's windows as laid out: every text fits its control,
// and the main window grows.
#include <TeskRestoreDlg.h>

#include "template_layout.h"

using namespace dialog_test;

namespace {

class RestoreLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskRestoreResources();
  }
};

TEST_F(RestoreLayoutTest, EveryTextFitsTheMainWindow) {
  const std::vector<std::string> problems = TemplateProblems(IDD_TESKRESTORE_DIALOG, "de_DE.UTF-8");
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems\n" << Lines(problems);
}

TEST_F(RestoreLayoutTest, EveryTextFitsTheFolderPicker) {
  const std::vector<std::string> problems = TemplateProblems(IDD_FOLDER_PICKER, "de_DE.UTF-8");
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems\n" << Lines(problems);
}

}  // namespace
