#pragma once

#include <QList>
#include <QRect>

#include <cstdint>
#include <optional>
#include <vector>

struct ScreenImage;

// A copy of the screen image whose picture the viewer was last sent, and of that picture's own
// pixels when it was scaled, so that an unchanged screen is recognised without encoding it and
// a changed one is compared where the viewer sees it. Comparing the pixels costs about a
// millisecond for 1920x1080 and is exact, where a digest could miss a change.
class PushedScreen
{
public:
    // True when `screen` has the same size and pixels as the one remembered; false when none is.
    bool sameAs(const ScreenImage &screen) const;
    // Where `picture` differs from the picture remembered (ChangedAreas); no answer when none is.
    std::optional<QList<QRect>> changedAreas(const ScreenImage &picture) const;
    // Remembers `screen`, and `picture` made of it (MacCapture::pictureImage; the same image
    // when unscaled), as now on the viewer's side. Forgets instead when there is no memory for
    // the copy: the next picture then goes out whole, whatever it shows.
    void remember(const ScreenImage &screen, const ScreenImage &picture);
    void remember(const ScreenImage &screen) { remember(screen, screen); }

private:
    // Rows of `width` * 4 bytes, no padding.
    struct Copy
    {
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> pixels;

        bool take(const ScreenImage &image);
        bool sameAs(const ScreenImage &image) const;
        ScreenImage view() const;
    };

    Copy m_screen;
    // Empty while the picture is the screen itself.
    Copy m_picture;
};
