// The caster grid's row rules, the same for every front end: the grid shows at least one data
// row, and a changed row count moves a current row that fell off the end up to the last row and
// leaves just that row selected.
#pragma once

#include <cstddef>

namespace kavro {

struct GridRows {
    int count = 1;          // data rows to show
    bool reselect = false;  // the count changed: select just `current`
    int current = 0;        // the current data row from 0, when reselecting
};

// `shown` data rows are on screen with `current` (from 0; -1 for none) the current one; the new
// list has `rows` data rows.
GridRows grid_rows_for(int shown, int current, std::size_t rows);

}  // namespace kavro
