// The built-in pictures: the test card that stands in for an unconnected "Input", and the
// small pictures the demo connects to tools' other image inputs.
#pragma once

#include "host/image.h"

#include <memory>
#include <string>
#include <vector>

namespace app {

inline constexpr int kTestCardWidth = 960;
inline constexpr int kTestCardHeight = 540;

// 960 x 540: seven full-intensity colour bars (white, yellow, cyan, green, magenta, red,
// blue) over the upper 60%, then horizontal ramps from 0 to full in grey, red, green and
// blue, and at the bottom a white strip whose alpha ramps from 0 to full. Alpha is full
// everywhere else.
std::unique_ptr<Image> MakeTestCard(ImageDepth depth);

// A built-in picture by name: "card" (the test card), "card-changed" (the test card with
// a dark box over part of the bars, a reference that differs from the card), "sprite"
// (64 x 64 soft white disc on zero alpha), "star" and "star-blue" (48 x 48 four-ray
// glows in warm white and pale blue, premultiplied: colour is tint x alpha), "folk"
// (24 x 48 standing person on zero alpha, a figure for Throng), "tile" (96 x 48 brick
// with mortar edges; "tile-dark" and "tile-pale" the same brick in other shades),
// "dots" (960 x 540 dark grey with a grid of 4 x 4 pure red, green and blue dots, marker
// dots for Throng), "motion-mark" and "passive-mark" (40 x 36 cell marks for Watchcam: a
// red frame over a faint red wash, and a thin green top and left edge). Throws
// std::invalid_argument for another name.
std::unique_ptr<Image> MakePicture(const std::string& name, ImageDepth depth);
// The names MakePicture knows.
std::vector<std::string> PictureNames();

} // namespace app
