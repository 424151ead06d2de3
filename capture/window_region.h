#pragma once
// The window around a selection, found in a picture of the screen, for
// desktops that tell no window geometry.

#include <QImage>
#include <QRect>

// The selection widened to the nearest vertical window edges left and right
// of it, over the whole height of `picture`: a column is an edge when the
// colour changes across it on nearly every row of the selection and on an
// unbroken run of rows through it at least kEdgeBandRows long (or the
// picture's height), as it does at a window's border,
// at its edge against the desktop or the next window, and at panel dividers
// inside a window; glyphs never run that far. `selection` and the result are
// in the picture's pixels; a selection outside the picture gives an empty
// rectangle.
QRect grownWindowRegion(const QImage &picture, const QRect &selection);

inline constexpr int kEdgeBandRows = 240;
