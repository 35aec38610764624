// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

#include "app/context.h"
#include "web/text.h"

// The model catalogue, the selection handler of 组合框1, the ROM list page
// reader with its entry cutter, and the three test buttons.
//
// Threads: the list-page state (ListPageUrl, ListPageHtml, PackageLinks) and
// the entry controls belong to the window thread. Every entry point below may
// be called from any thread: a call from a worker is carried out on the window
// thread through Toolkit::RunOnWindowThread and waits for it, so two runs of
// the reader never overlap. Once the program is ending, a call from a worker
// does nothing.

namespace kestrune {

struct CatalogueRow {
  Text item;  // code-page-936 list item, spaces included
  Text path;  // "" for the prompt row
};

// The 89 rows, index 0 the prompt "请选择手机版本". Built once, on first use.
const std::vector<CatalogueRow>& CatalogueRows();
// The 89 list items in index order, as 组合框1 shows them.
std::vector<Text> CatalogueItems();
// baseUrl followed by the row's path; "" for row 0 or an index out of range.
Text ListPageAddress(const Text& baseUrl, int index);

// Registers the handlers of 组合框1, 按钮1, 按钮100 and 按钮12 on MainWindow.
// The handlers keep the toolkit only weakly, so they never keep it alive.
void InstallCatalogue(const AppContext& ctx);

// The click handler of test button 按钮1: sets ListPageUrl to its fixed page
// and runs the reader. The update check calls it from its worker.
void ClickTestButton1(const AppContext& ctx);

// The reader: fetches ListPageUrl into ListPageHtml, converts it from UTF-8
// when "线刷包大小" is missing, cuts the entries, disables the package buttons
// left without a link (their links become "about:blank") and removes the
// blanks from the captions of 标签1..5 and 按钮1..11. It never enables a
// button, and writes a link only for a package the page shows: a link from an
// earlier read stays where the page lacks that package (the selection handler
// empties them before a pick). Blocks its thread for the fetch, bounded by the
// fetcher's timeouts and by a minute for the whole read.
void ReadListPage(const AppContext& ctx);
// The entry cutter alone: cuts five entries and a sixth out of ListPageHtml,
// consuming it, and writes the scratch edit boxes, the labels, the package
// buttons' captions and the links of the packages it finds.
void CutEntries(const AppContext& ctx);

}  // namespace kestrune
