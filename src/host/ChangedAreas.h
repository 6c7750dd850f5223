#pragma once

#include <QList>
#include <QRect>

#include <optional>

struct ScreenImage;

// Where a picture differs from the one before it, as a few rectangles worth sending on their own.
// The pictures are compared in square cells on a grid from the top-left corner, so every area
// starts on a multiple of the cell size: a JPEG of the area then has its 16-pixel blocks where
// the whole picture has them, and no edge of an area smears into its neighbours. Cells that
// changed are joined into rectangles and, when there are many, merged further, so that the JPEG
// headers of many tiny areas do not cost more than the pixels they carry.
class ChangedAreas
{
public:
    // Pixels; a multiple of the JPEG block (16).
    static constexpr int cellSize = 32;
    // Over this share of the picture changed, the whole picture costs about as much as its areas.
    static constexpr double largeShare = 0.4;
    // At most this many areas per picture; more cells are merged into fewer, larger areas.
    static constexpr int maxAreas = 16;

    // The changed areas of `now` against `before`, clipped to the picture, none when nothing
    // changed. No answer (send the whole picture) when the sizes differ, either has no pixels, or
    // the change is large or too scattered to merge cheaply.
    static std::optional<QList<QRect>> find(const ScreenImage &before, const ScreenImage &now);
};
