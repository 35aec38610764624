// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

#include "app/context.h"
#include "web/text.h"

// The model catalogue, the selection handler of 组合框1, the ROM list page
// reader with its entry cutter, and the three test buttons.
// Everything here runs on the window thread.

namespace kestrune {

struct CatalogueRow {
  Text item;  // code-page-936 list item, spaces included
  Text path;  // "" for the prompt row
};

// The 89 rows, index 0 the prompt "请选择手机版本".
const std::vector<CatalogueRow>& CatalogueRows();
// baseUrl followed by the row's path; "" for row 0 or an index out of range.
Text ListPageAddress(const Text& baseUrl, int index);

// Registers the handlers of 组合框1, 按钮1, 按钮100 and 按钮12 on MainWindow.
void InstallCatalogue(const AppContext& ctx);

// The click handler of test button 按钮1: sets ListPageUrl to its fixed page
// and runs the reader. Window thread only; a worker calls it through
// Toolkit::RunOnWindowThread.
void ClickTestButton1(const AppContext& ctx);

// The reader and the cutter, exposed for tests and benchmarks.
void ReadListPage(const AppContext& ctx);
void CutEntries(const AppContext& ctx);

}  // namespace kestrune
