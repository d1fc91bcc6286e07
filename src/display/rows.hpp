// What the box and table rows share: comparisons, bar cells and dict walks with the interpreter's semantics.
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

/// Walks a dict as `for key, value in d.items()` does: the interpreter's RuntimeError when the dict
/// changes under the loop, and owned references to each key and value while the row uses them.
/// The only way the display functions walk a dict.
class DictWalk {
public:
    explicit DictWalk(Handle dict) noexcept
        : dict_(dict.ptr()), size_(PyDict_GET_SIZE(dict.ptr())), remaining_(size_) {}
    bool next(Ref& key, Ref& value);

private:
    PyObject* dict_;  // borrowed: the caller's argument, alive for the call
    Py_ssize_t size_;
    Py_ssize_t remaining_;
    Py_ssize_t pos_ = 0;
};

}  // namespace korva::display::rows
