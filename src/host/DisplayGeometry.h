#pragma once

class DesktopCapture;

// The main display in global points, as a host session last found it.
struct DisplayGeometry
{
    double width = 0;
    double height = 0;
    double originX = 0;
    double originY = 0;

    static DisplayGeometry ofMainDisplay(DesktopCapture &capture);

    friend bool operator==(const DisplayGeometry &, const DisplayGeometry &) = default;
};
