// What the box and table rows share: comparisons and bar cells with the interpreter's semantics.
#pragma once

#include "display.hpp"

namespace korva::display::rows {

/// A threshold of a colour rule: its double for exact numbers, its float object for anything else.
struct Threshold {
    double value;
    PyObject* object;  // owned for the process
};

/// Objects the rows compare with, made on first use and kept for the process.
struct Constants {
    PyObject* twenty;  // 20: the bar scale and the few-pixel limit
    PyObject* zero;    // 0: the count of a class without pixels
    Threshold t045, t050, t065, t070, t075, t080, t085, t090;
};
const Constants& constants();

/// bool(value >= threshold), through the interpreter's rich comparison for anything but exact numbers.
bool at_least(Handle value, const Threshold& threshold);
/// bool(value < 20) for a pixel count.
bool below_twenty(Handle value);

/// int(value * 20) as a repeat count for a bar, where a NaN or infinite number gives no cells.
/// Other failures are the interpreter's: the product's or int()'s error, and OverflowError
/// for a count that no string repeat accepts.
Py_ssize_t bar_cells(Handle value);


}  // namespace korva::display::rows
