#include "PushedScreen.h"

#include "ChangedAreas.h"
#include "ScreenImage.h"

#include <cstring>
#include <new>

namespace {

constexpr std::size_t bytesPerPixel = ScreenImage::bytesPerPixel;

} // namespace

bool PushedScreen::sameAs(const ScreenImage &screen) const
{
    return m_screen.sameAs(screen);
}

std::optional<QList<QRect>> PushedScreen::changedAreas(const ScreenImage &picture) const
{
    // No copy of its own: the picture is the screen unscaled (or nothing is remembered).
    const Copy &before = m_picture.pixels.empty() ? m_screen : m_picture;
    if (before.pixels.empty())
        return std::nullopt;
    return ChangedAreas::find(before.view(), picture);
}

void PushedScreen::remember(const ScreenImage &screen, const ScreenImage &picture)
{
    const bool same = picture.pixels == screen.pixels && picture.width == screen.width
        && picture.height == screen.height && picture.stride == screen.stride;
    if (!m_screen.take(screen) || (!same && !m_picture.take(picture))) {
        // Nothing remembered: the next picture goes out whole.
        m_screen = {};
        m_picture = {};
        return;
    }
    // The screen's copy stands for the picture: a second one would only cost memory.
    if (same)
        m_picture = {};
}

bool PushedScreen::Copy::take(const ScreenImage &image)
{
    if (!image.isUsable())
        return false;
    const std::size_t row = static_cast<std::size_t>(image.width) * bytesPerPixel;
    try {
        pixels.resize(row * image.height);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int y = 0; y < image.height; ++y)
        std::memcpy(pixels.data() + y * row, image.pixels + static_cast<std::size_t>(y) * image.stride, row);
    width = image.width;
    height = image.height;
    return true;
}

bool PushedScreen::Copy::sameAs(const ScreenImage &image) const
{
    if (pixels.empty() || !image.isUsable() || image.width != width || image.height != height)
        return false;
    const std::size_t row = static_cast<std::size_t>(width) * bytesPerPixel;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *now = image.pixels + static_cast<std::size_t>(y) * image.stride;
        if (std::memcmp(now, pixels.data() + y * row, row) != 0)
            return false;
    }
    return true;
}

ScreenImage PushedScreen::Copy::view() const
{
    return ScreenImage{width, height, static_cast<int>(width * bytesPerPixel), pixels.data(), nullptr};
}
