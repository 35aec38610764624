// SPDX-License-Identifier: MIT
// The main window on a real X display: the Chinese captions are drawn, not
// only stored. Leaves the picture at KESTRUNE_SCREENSHOT for the README.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "app/names.h"
#include "app/qt/qt_toolkit.h"
#include "catalogue/catalogue.h"
#include "qt_test_support.h"

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;

// Pixels in `area` for which `wanted` holds.
template <typename Predicate>
int Count(const QImage& image, const QRect& area, Predicate wanted) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (wanted(image.pixelColor(x, y))) ++n;
  return n;
}

bool IsRed(const QColor& c) { return c.red() > 180 && c.green() < 110 && c.blue() < 110; }
bool IsGreen(const QColor& c) { return c.green() > 180 && c.red() < 110 && c.blue() < 110; }
bool IsDark(const QColor& c) { return c.lightness() < 110; }

TEST(MainWindowScreenshotTest, CaptionsAreDrawnOnTheScreen) {
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "needs a real X display";
  auto tk = QtToolkit::Create();
  ASSERT_TRUE(tk);
  AppContext ctx;
  ctx.toolkit = tk;
  ctx.state = CreateSharedState();
  std::vector<Text> items;
  for (const CatalogueRow& row : CatalogueRows()) items.push_back(row.item);
  tk->DefineWindow(MainWindowDefinition(items));
  InstallMainWindow(ctx);
  tk->LoadWindow(kMain, false);
  QWidget* window = tk->WindowWidget(kMain);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  // Let the notice scroll in a little and everything settle.
  ASSERT_TRUE(test::PumpUntil([&] { return tk->GetInt(kMain, "公告栏", Property::Left) < -30; }));

  const QImage shot = window->screen()->grabWindow(window->winId()).toImage();
  ASSERT_EQ(shot.size(), QSize(836, 206));
  EXPECT_TRUE(shot.save(QString::fromUtf8(KESTRUNE_SCREENSHOT)));

  // The model list: red text on green.
  const QRect combo(8, 8, 824, 20);
  EXPECT_GT(Count(shot, combo, IsGreen), 1000);
  EXPECT_GT(Count(shot, combo, IsRed), 30);
  // Both status bar panels and a package button carry dark text.
  EXPECT_GT(Count(shot, QRect(4, 189, 62, 14), IsDark), 30);
  EXPECT_GT(Count(shot, QRect(74, 189, 200, 14), IsDark), 30);
  EXPECT_GT(Count(shot, QRect(20, 76, 144, 24), IsDark), 30);
  // The version label.
  EXPECT_GT(Count(shot, QRect(656, 160, 120, 20), IsDark), 20);

  tk->ExitProgram(0);
}

}  // namespace
}  // namespace kestrune
