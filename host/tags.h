// Tag numbers of the host's tag lists, named once. Tag lists are tag-value pairs; the
// numbers are the host's own, so saved flows and plug-ins agree on them.
#pragma once

#include <cstdint>

namespace tag {

using Id = std::uint32_t;

inline constexpr Id End = 0;

// Input declarations (Operator::AddInput / AddOutput).
inline constexpr Id DataType = 0x88020000;        // FuID: "Image", "Number", "Point"
inline constexpr Id ControlKind = 0x80030000;     // FuID: "SliderControl", "ComboControl", ...
inline constexpr Id PreviewControl = 0x80030001;  // FuID: on-screen control, "CrosshairControl"
inline constexpr Id ShownLow = 0x20030000;        // double
inline constexpr Id ShownHigh = 0x20030001;       // double
inline constexpr Id AllowedLow = 0x20030002;      // double
inline constexpr Id AllowedHigh = 0x20030003;     // double
inline constexpr Id Default = 0x20030004;         // double
inline constexpr Id RowShare = 0x20040007;        // double, 0.25 to 0.5
inline constexpr Id ComboEntry = 0x38040000;      // text; each occurrence adds the next entry
inline constexpr Id ColorGroupLabel = 0x30040000; // text
inline constexpr Id Group = 0x10030006;           // int
inline constexpr Id GroupPlace = 0x10030007;      // int: red 0 .. alpha 3; start 0, end 1
inline constexpr Id WholeNumbers = 0x1003000c;    // 1
inline constexpr Id NotifyOnChange = 0x1003000a;  // 1
inline constexpr Id ScrewFlag = 0x10030004;       // 1, the host's own matter
inline constexpr Id Visible = 0x10040008;         // 0 hidden, 1 shown
inline constexpr Id Required = 0x10030002;        // 0 optional, 1 required
inline constexpr Id LinkNumber = 0x10020001;      // 1 main image, 2 second image

// NewImage.
inline constexpr Id ImgTemplate = 0x60020000; // Image*: size, depth and channels from it
inline constexpr Id ImgContext = 0x60020001;  // the operator's host context instead
inline constexpr Id ImgWidth = 0x10020000;
inline constexpr Id ImgHeight = 0x10020001;
inline constexpr Id ImgDepth = 0x10020002;   // see ImageDepth
inline constexpr Id ImgChannel = 0x10020003; // a channel to hold: 2, 1, 0, 3

// Image::ResizeOfImage, tag form.
inline constexpr Id ResizeWidth = 0x10000000;
inline constexpr Id ResizeHeight = 0x10000001;
inline constexpr Id ResizeFilter = 0x10000003;

// Registration entries.
inline constexpr Id RegInit = 0x60000001;
inline constexpr Id RegCleanup = 0x60000002;
inline constexpr Id RegVersion = 0x10000000;     // 3
inline constexpr Id RegVersionText = 0x30000008; // stands twice: build text, then version text
inline constexpr Id RegParentClass = 0x60000011;
inline constexpr Id RegScriptInfo = 0x60000005;
inline constexpr Id RegFactory = 0x60000000;
inline constexpr Id RegTileBitmap = 0x10000004;
inline constexpr Id RegCompany = 0x30000003;
inline constexpr Id RegDisplayName = 0x30000002;
inline constexpr Id RegShortName = 0x30000004;
inline constexpr Id RegScriptName = 0x30000005;
inline constexpr Id RegHelp = 0x30000007;
inline constexpr Id RegMaker = 0x30000009;
inline constexpr Id RegWebAddress = 0x3000000a;

} // namespace tag

// Depth values for tag::ImgDepth.
enum class ImageDepth : int { Int16 = 2, Float32 = 5 };
