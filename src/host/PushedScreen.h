#pragma once

#include <cstdint>
#include <vector>

struct ScreenImage;

// A copy of the screen image whose picture the viewer was last sent, so that an unchanged
// screen is recognised without encoding it. Comparing the pixels costs about a millisecond for
// 1920x1080 and is exact, where a digest could miss a change.
class PushedScreen
{
public:
    // True when `image` has the same size and pixels as the one remembered; false when none is.
    bool sameAs(const ScreenImage &image) const;
    // Remembers `image` as the one now on the viewer's side. Forgets instead when there is no
    // memory for the copy: the next picture then goes out whatever it shows.
    void remember(const ScreenImage &image);
    void forget();

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<std::uint8_t> m_pixels; // rows of m_width * 4 bytes, no padding
};
