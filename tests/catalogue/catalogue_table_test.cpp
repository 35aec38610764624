// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "catalogue/catalogue.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

std::string Utf8Item(int index) { return AnsiToUtf8(CatalogueRows().at(static_cast<std::size_t>(index)).item); }

// The edition is the item's last word; rows 7 and 8 have a blank behind it.
std::string Edition(int index) {
  std::string item = Utf8Item(index);
  item.erase(item.find_last_not_of(' ') + 1);
  return item.size() < 9 ? item : item.substr(item.size() - 9);
}

TEST(CatalogueTable, HasThePromptAndEightyEightModels) {
  const auto& rows = CatalogueRows();
  ASSERT_EQ(rows.size(), 89u);
  EXPECT_EQ(rows[0].item, Ansi("请选择手机版本"));
  EXPECT_EQ(rows[0].path, "");
  EXPECT_EQ(CatalogueItems().size(), 89u);
  EXPECT_EQ(CatalogueItems()[88], rows[88].item);
}

// Every path has the site's form, its edition digit follows the item's
// edition, developer rows are followed by their stable partner, and only rows
// 39 and 40 stand alone.
TEST(CatalogueTable, PathsFollowEditionsAndPairs) {
  const std::regex form(R"(/list-169-1-(\d+)-(\d+)-1-([12]))");
  const std::string developer = "开发版", stable = "稳定版";
  std::set<std::string> paths;
  int developers = 0, stables = 0;
  for (int i = 1; i <= 88; ++i) {
    const std::string& path = CatalogueRows()[static_cast<std::size_t>(i)].path;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(path, m, form)) << i << " " << path;
    EXPECT_TRUE(paths.insert(path).second) << "duplicate path in row " << i;
    if (Edition(i) == developer) {
      ++developers;
      EXPECT_EQ(m[3], "1") << i;
      const std::string& partner = CatalogueRows()[static_cast<std::size_t>(i + 1)].path;
      EXPECT_EQ(partner, path.substr(0, path.size() - 1) + "2") << i;
      EXPECT_EQ(Edition(i + 1), stable) << i + 1;
    } else {
      ++stables;
      EXPECT_EQ(Edition(i), stable) << i;
      EXPECT_EQ(m[3], "2") << i;
      bool partnered = i > 1 && Edition(i - 1) == developer;
      EXPECT_EQ(partnered, i != 39 && i != 40) << i;
    }
  }
  EXPECT_EQ(developers, 43);
  EXPECT_EQ(stables, 45);
}

TEST(CatalogueTable, ItemsKeepTheirBlanks) {
  EXPECT_EQ(Utf8Item(7), "小米Note 顶配版-双网通-开发版 ");
  EXPECT_EQ(Utf8Item(8), "小米Note 顶配版-双网通-稳定版 ");
  EXPECT_EQ(Utf8Item(67), " 红米手机 WCDMA台湾版-开发版");
  EXPECT_EQ(Utf8Item(68), " 红米手机 WCDMA台湾版-稳定版");
  for (int i = 23; i <= 30; ++i) {
    std::string item = Utf8Item(i);
    EXPECT_EQ(item.substr(item.rfind('-'), 2), "- ") << i;
  }
  EXPECT_EQ(Utf8Item(23), "小米手机4-电信3G版- 开发版");
  EXPECT_EQ(Utf8Item(19), "红米手机2 -联通/电信-开发版");
  // Only those rows start or end with a blank.
  for (int i = 0; i <= 88; ++i) {
    const Text& item = CatalogueRows()[static_cast<std::size_t>(i)].item;
    EXPECT_EQ(item.back() == ' ', i == 7 || i == 8) << i;
    EXPECT_EQ(item.front() == ' ', i == 67 || i == 68) << i;
  }
  // Items are code page 936: two bytes a Chinese character.
  EXPECT_EQ(CatalogueRows()[85].item, std::string("\xD0\xA1\xC3\xD7\xC2\xB7\xD3\xC9-\xBF\xAA\xB7\xA2\xB0\xE6"));
}

TEST(CatalogueTable, ListPageAddressJoinsBaseAndPath) {
  const Text base = "http://127.0.0.1:8080";
  EXPECT_EQ(ListPageAddress(base, 1), base + "/list-169-1-18-21-1-1");
  EXPECT_EQ(ListPageAddress(base, 88), base + "/list-169-1-10-17-1-2");
  EXPECT_EQ(ListPageAddress(base, 39), base + "/list-169-1-7-6-1-2");
  EXPECT_EQ(ListPageAddress(base, 40), base + "/list-169-1-7-9-1-2");
  EXPECT_EQ(ListPageAddress(base, 0), "");
  EXPECT_EQ(ListPageAddress(base, -1), "");
  EXPECT_EQ(ListPageAddress(base, 89), "");
}

}  // namespace
}  // namespace kestrune
