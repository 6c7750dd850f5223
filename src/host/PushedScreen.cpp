#include "PushedScreen.h"

#include "ScreenImage.h"

#include <cstring>
#include <new>

namespace {

constexpr std::size_t bytesPerPixel = 4;

bool usable(const ScreenImage &image)
{
    return image.pixels && image.width > 0 && image.height > 0
        && static_cast<std::size_t>(image.stride) >= static_cast<std::size_t>(image.width) * bytesPerPixel;
}

} // namespace

bool PushedScreen::sameAs(const ScreenImage &image) const
{
    if (m_pixels.empty() || !usable(image) || image.width != m_width || image.height != m_height)
        return false;
    const std::size_t row = static_cast<std::size_t>(m_width) * bytesPerPixel;
    for (int y = 0; y < m_height; ++y) {
        const std::uint8_t *now = image.pixels + static_cast<std::size_t>(y) * image.stride;
        if (std::memcmp(now, m_pixels.data() + y * row, row) != 0)
            return false;
    }
    return true;
}

void PushedScreen::remember(const ScreenImage &image)
{
    if (!usable(image)) {
        forget();
        return;
    }
    const std::size_t row = static_cast<std::size_t>(image.width) * bytesPerPixel;
    try {
        m_pixels.resize(row * image.height);
    } catch (const std::bad_alloc &) {
        forget();
        return;
    }
    for (int y = 0; y < image.height; ++y)
        std::memcpy(m_pixels.data() + y * row, image.pixels + static_cast<std::size_t>(y) * image.stride, row);
    m_width = image.width;
    m_height = image.height;
}

void PushedScreen::forget()
{
    m_pixels = {};
    m_width = 0;
    m_height = 0;
}
