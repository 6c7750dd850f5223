#include "ChangedAreas.h"

#include "ScreenImage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t bytesPerPixel = ScreenImage::bytesPerPixel;
// More separate areas than this before merging is a scattered change: merging costs the cube of
// their number, and their JPEGs would hardly be smaller than the whole picture.
constexpr std::size_t maxCandidates = 96;
// Two areas are sent as one whenever the unchanged cells that come along weigh less than the
// header of a JPEG of its own (about 600 bytes at the picture quality, some two cells of text).
constexpr int mergeSlackCells = 2;

long long areaOf(const QRect &rect)
{
    return static_cast<long long>(rect.width()) * rect.height();
}

// Where the pictures differ: one mark per cell, a row of cells after the other.
std::vector<std::uint8_t> changedCells(const ScreenImage &before, const ScreenImage &now, int columns, int rows)
{
    constexpr int cell = ChangedAreas::cellSize;
    std::vector<std::uint8_t> marks(static_cast<std::size_t>(columns) * rows, 0);
    const std::size_t rowBytes = static_cast<std::size_t>(now.width) * bytesPerPixel;
    const std::size_t cellBytes = static_cast<std::size_t>(cell) * bytesPerPixel;
    for (int r = 0; r < rows; ++r) {
        std::uint8_t *rowMarks = marks.data() + static_cast<std::size_t>(r) * columns;
        int marked = 0;
        const int last = std::min(now.height, (r + 1) * cell);
        for (int y = r * cell; y < last && marked < columns; ++y) {
            const std::uint8_t *a = before.pixels + static_cast<std::size_t>(y) * before.stride;
            const std::uint8_t *b = now.pixels + static_cast<std::size_t>(y) * now.stride;
            // Most rows of a screen are untouched: one comparison each, as for a still screen.
            if (std::memcmp(a, b, rowBytes) == 0)
                continue;
            for (int c = 0; c < columns; ++c) {
                if (rowMarks[c])
                    continue;
                const std::size_t from = static_cast<std::size_t>(c) * cellBytes;
                if (std::memcmp(a + from, b + from, std::min(cellBytes, rowBytes - from)) != 0) {
                    rowMarks[c] = 1;
                    ++marked;
                }
            }
        }
    }
    return marks;
}

// Runs of changed cells per row, each joined with the run right above it when both span the same
// columns: rectangles in cell units, apart from each other. None when there are too many.
std::optional<std::vector<QRect>> runs(const std::vector<std::uint8_t> &marks, int columns, int rows)
{
    std::vector<QRect> areas;
    std::vector<std::size_t> open;
    std::vector<std::size_t> nextOpen;
    for (int r = 0; r < rows; ++r) {
        const std::uint8_t *rowMarks = marks.data() + static_cast<std::size_t>(r) * columns;
        nextOpen.clear();
        for (int c = 0; c < columns;) {
            if (!rowMarks[c]) {
                ++c;
                continue;
            }
            const int start = c;
            while (c < columns && rowMarks[c])
                ++c;
            const auto above = std::find_if(open.begin(), open.end(), [&](std::size_t i) {
                return areas[i].left() == start && areas[i].width() == c - start;
            });
            if (above != open.end()) {
                areas[*above].setBottom(r);
                nextOpen.push_back(*above);
            } else {
                areas.emplace_back(start, r, c - start, 1);
                nextOpen.push_back(areas.size() - 1);
                if (areas.size() > maxCandidates)
                    return std::nullopt;
            }
        }
        open.swap(nextOpen);
    }
    return areas;
}

// Merges the two areas whose common bounding box adds the fewest unchanged cells, while there are
// too many areas or that box costs less than a separate JPEG. A merged box takes in every area it
// overlaps, so the areas stay apart and no pixel is sent twice.
void merge(std::vector<QRect> &areas)
{
    while (areas.size() > 1) {
        long long bestCost = std::numeric_limits<long long>::max();
        std::size_t first = 0;
        std::size_t second = 0;
        for (std::size_t i = 0; i < areas.size(); ++i) {
            for (std::size_t j = i + 1; j < areas.size(); ++j) {
                const long long cost = areaOf(areas[i].united(areas[j])) - areaOf(areas[i]) - areaOf(areas[j]);
                if (cost < bestCost) {
                    bestCost = cost;
                    first = i;
                    second = j;
                }
            }
        }
        if (areas.size() <= std::size_t(ChangedAreas::maxAreas) && bestCost > mergeSlackCells)
            return;
        QRect merged = areas[first].united(areas[second]);
        areas.erase(areas.begin() + std::ptrdiff_t(second));
        areas.erase(areas.begin() + std::ptrdiff_t(first));
        for (bool grew = true; grew;) {
            grew = false;
            for (auto it = areas.begin(); it != areas.end(); ++it) {
                if (it->intersects(merged)) {
                    merged = merged.united(*it);
                    areas.erase(it);
                    grew = true;
                    break;
                }
            }
        }
        areas.push_back(merged);
    }
}

} // namespace

std::optional<QList<QRect>> ChangedAreas::find(const ScreenImage &before, const ScreenImage &now)
{
    if (!before.isUsable() || !now.isUsable() || before.width != now.width || before.height != now.height)
        return std::nullopt;
    const int columns = (now.width + cellSize - 1) / cellSize;
    const int rows = (now.height + cellSize - 1) / cellSize;
    const std::vector<std::uint8_t> marks = changedCells(before, now, columns, rows);

    const QRect picture(0, 0, now.width, now.height);
    const long long large = static_cast<long long>(largeShare * double(areaOf(picture)));
    const auto inPixels = [&](const QRect &cells) {
        return QRect(cells.x() * cellSize, cells.y() * cellSize, cells.width() * cellSize, cells.height() * cellSize)
            & picture;
    };

    long long changed = 0;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            if (marks[static_cast<std::size_t>(r) * columns + c])
                changed += areaOf(inPixels(QRect(c, r, 1, 1)));
    if (changed > large)
        return std::nullopt;

    std::optional<std::vector<QRect>> areas = runs(marks, columns, rows);
    if (!areas)
        return std::nullopt;
    merge(*areas);

    QList<QRect> result;
    long long sent = 0;
    for (const QRect &cells : *areas) {
        result.append(inPixels(cells));
        sent += areaOf(result.back());
    }
    if (sent > large)
        return std::nullopt;
    // Top to bottom, left to right: the same change always gives the same frame.
    std::sort(result.begin(), result.end(), [](const QRect &a, const QRect &b) {
        return a.y() != b.y() ? a.y() < b.y() : a.x() < b.x();
    });
    return result;
}
