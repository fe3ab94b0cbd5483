// The icons both programs carry: every id is embedded as a 32 x 32 PNG,
// loads and shows as a picture of its own, and stays one of its own in the
// folder tree's 16 x 16 image list.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <set>
#include <vector>

#include <TeskIconData.h>
#include <TeskIcons.h>

#include "ui_test_util.h"

namespace {

constexpr UINT kIds[] = {IDR_MAINFRAME, IDI_TESK_LOGO, IDI_STORE,   IDI_DEFAULT_STORE, IDI_CONTACTS,
                         IDI_CALENDAR,  IDI_JOURNAL,   IDI_TASKS,   IDI_MAIL_FOLDER,   IDI_NOTES,
                         IDI_INBOX,     IDI_OUTBOX,    IDI_SENT_ITEMS, IDI_DELETED_ITEMS};

constexpr UINT IDD_ICONS_TEST = 4170;
constexpr int IDC_PICTURE = 4171;

// Opaque enough to be part of the picture.
bool Opaque(QRgb px) { return qAlpha(px) >= 128; }

// A drawing on a transparent ground: a fair share of the square covered,
// a transparent rest, several colours.
testing::AssertionResult IsPicture(const QImage& image) {
  int opaque = 0;
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb px = image.pixel(x, y);
      if (!Opaque(px)) continue;
      ++opaque;
      colours.insert(px & 0xF0F0F0);
    }
  }
  const int area = image.width() * image.height();
  if (opaque < area / 4 || opaque > area * 95 / 100 || colours.size() < 3) {
    return testing::AssertionFailure() << opaque << " of " << area << " pixels drawn in " << colours.size()
                                       << " colours";
  }
  return testing::AssertionSuccess();
}

// The pixels (of same-sized images) that clearly differ in coverage or colour.
int Differing(const QImage& a, const QImage& b) {
  int n = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
      if (Opaque(p) != Opaque(q)) {
        ++n;
      } else if (Opaque(p) && std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                        std::abs(qBlue(p) - qBlue(q))}) > 48) {
        ++n;
      }
    }
  }
  return n;
}

void ExpectPairwiseDifferent(const std::vector<QImage>& images, int minPixels) {
  for (std::size_t i = 0; i < images.size(); ++i) {
    for (std::size_t j = i + 1; j < images.size(); ++j) {
      EXPECT_GE(Differing(images[i], images[j]), minPixels) << kIds[i] << " and " << kIds[j] << " look alike";
    }
  }
}

class TeskIconsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_test::StartUi();
    RegisterTeskIcons();
    RegisterDialogTemplate("en", {IDD_ICONS_TEST,
                                  "Icons",
                                  WS_POPUP | WS_CAPTION,
                                  nullptr,
                                  0,
                                  0,
                                  0,
                                  60,
                                  40,
                                  {{IDC_PICTURE, DlgItem::Icon, MAKEINTRESOURCE(IDR_MAINFRAME), 7, 7, 21, 20}}});
    ASSERT_TRUE(dlg.Create(IDD_ICONS_TEST));
    picture = dynamic_cast<CStatic*>(dlg.GetDlgItem(IDC_PICTURE));
    ASSERT_NE(picture, nullptr);
  }
  void TearDown() override { dlg.DestroyWindow(); }

  // What the static control shows for the icon.
  QImage Shown(HICON icon) {
    picture->SetIcon(icon);
    auto* label = qobject_cast<QLabel*>(AfxWidgetFromHandle(picture->m_hWnd));
    return label ? label->pixmap().toImage().convertToFormat(QImage::Format_ARGB32) : QImage();
  }

  CDialog dlg;
  CStatic* picture = nullptr;
};

TEST_F(TeskIconsTest, EveryIdIsAPictureOfItsOwn) {
  std::set<UINT> embedded;
  for (std::size_t i = 0; i < kTeskIconCount; ++i) {
    embedded.insert(kTeskIconData[i].id);
    const QImage png = QImage::fromData(kTeskIconData[i].data, static_cast<int>(kTeskIconData[i].size), "PNG");
    EXPECT_EQ(png.size(), QSize(32, 32)) << kTeskIconData[i].id;
    EXPECT_TRUE(png.hasAlphaChannel()) << kTeskIconData[i].id;
  }
  EXPECT_EQ(embedded, std::set<UINT>(std::begin(kIds), std::end(kIds)));
  EXPECT_EQ(kTeskIconCount, std::size(kIds));

  std::vector<QImage> shown;
  for (const UINT id : kIds) {
    const HICON icon = LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(id));
    ASSERT_NE(icon, nullptr) << id;
    shown.push_back(Shown(icon));
    EXPECT_EQ(shown.back().size(), QSize(32, 32)) << id;
    EXPECT_TRUE(IsPicture(shown.back())) << id;
  }
  ExpectPairwiseDifferent(shown, 16);
}

TEST_F(TeskIconsTest, StayApartInTheTreesImageList) {
  CImageList list;
  ASSERT_TRUE(list.Create(16, 16, ILC_COLOR32 | ILC_MASK, 16, 4));
  std::vector<QImage> small;
  for (int i = 0; i < static_cast<int>(std::size(kIds)); ++i) {
    ASSERT_EQ(list.Add(AfxLoadIcon(kIds[i])), i);
    const HICON image = list.ExtractIcon(i);
    ASSERT_NE(image, nullptr);
    // Shown at 32 x 32 again, stretched from the 16 x 16 image.
    small.push_back(Shown(image));
    picture->SetIcon(nullptr);
    EXPECT_TRUE(DestroyIcon(image));
    EXPECT_TRUE(IsPicture(small.back())) << kIds[i];
  }
  EXPECT_EQ(list.GetImageCount(), static_cast<int>(std::size(kIds)));
  ExpectPairwiseDifferent(small, 16);
}

}  // namespace
