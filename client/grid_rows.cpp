#include "client/grid_rows.h"

#include <algorithm>

namespace kavro {

GridRows grid_rows_for(int shown, int current, std::size_t rows) {
    GridRows result;
    result.count = static_cast<int>(std::max<std::size_t>(1, rows));
    result.reselect = result.count != shown;
    result.current = std::clamp(current, 0, result.count - 1);
    return result;
}

}  // namespace kavro
