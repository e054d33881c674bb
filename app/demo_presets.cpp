#include "app/demo_presets.h"

namespace app {

// One entry per tool, a line or two each.
// clang-format off
std::span<const DemoPreset> DemoPresets() {
    static const std::vector<DemoPreset> presets = {
        {"ChannelShift", "red pushed right and blue left: colour fringes",
         {{"Center Red", "0.52,0.5"}, {"Center Blue", "0.48,0.5"}}},
        {"Warble", "red and blue sway sideways in opposite phase, green ripples up and down",
         {{"FormulaXR", "SIN"}, {"amplitudeXR", "0.12"}, {"frequencyXR", "0.04"},
          {"FormulaXB", "SIN"}, {"phaseXB", "0.145"}, {"amplitudeXB", "0.12"}, {"frequencyXB", "0.04"},
          {"FormulaYG", "COS"}, {"amplitudeYG", "0.08"}, {"frequencyYG", "0.03"}}},
        {"ToneBands", "mid-tones 0.35..0.65 cut to black with sloped shoulders: a notch in every ramp",
         {{"Filter Options", "range inside cut"}, {"Luminance Region Start", "0.35"},
          {"Luminance Region End", "0.65"}, {"Smoothness Range", "0.1"}, {"Alpha", "0"}}},
        {"Striper", "blue scanline every third row, red column pair every eighth; crossings added",
         {{"Hscanlines showing input", "2"}, {"BlueH", "0.5"},
          {"activate ScanlinesV", "1"}, {"Vscanlines showing input", "6"},
          {"Vscanlines showing Color", "2"}, {"RedV", "0.8"}, {"Blend Mode", "add"}}},
        {"RangeMap", "values 0.25..0.5 stretched over 0..1, the rest kept: ramps jump at 0.5",
         {{"R1Input Region Start", "0.25"}, {"R1Input Region End", "0.5"}, {"Alpha", "0"}}},
        {"Watchcam", "the card against a copy with a dark box: the cells it touches framed in red, the others edged in green",
         {{"ToleranceR", "0.05"}, {"ToleranceG", "0.05"}, {"ToleranceB", "0.05"}, {"ToleranceA", "0.05"}},
         {{"Reference", "card-changed"}, {"Motion", "motion-mark"}, {"Passive", "passive-mark"}}},
        {"ScopeTrace", "the parade: red, green and blue traces stacked in thirds, alpha over the full height",
         {{"Type", "RGBA(parade)"}}, {}, true},
        {"LineDrop", "keeps one row in three: the card squashed to a third of its height",
         {{"Hscanlines showing input", "1"}, {"Hscanlines showing Color", "2"}}},
        {"Brickwork", "three brick shades picked at random, odd rows shifted half a brick (their left ends stay empty)",
         {{"seed", "7"}, {"Probability End", "3"}},
         {{"Tile 1 (required)", "tile"}, {"Tile 2", "tile-dark"}, {"Tile 3", "tile-pale"}}},
        {"Throng", "a person on every red and blue marker dot, a soft disc on every green one",
         {{"1Red", "1"}, {"1Alpha", "1"}, {"2Green", "1"}, {"2Alpha", "1"},
          {"3Blue", "1"}, {"3Alpha", "1"}},
         {{"Throng", "dots"}, {"Folk 1", "folk"}, {"Folk 2", "sprite"}, {"Folk 3", "folk"}}},
        {"PanelSim", "an airport board: every pixel a 4 x 4 amber plaquette lit by its red",
         {{"Preset", "Airport"}}},
        {"Scatter", "300 stars of two kinds at scales 0.2..1, corners in the upper two thirds",
         {{"seed", "7"}, {"density", "300"}, {"Probability End", "2"}, {"Ymin", "0.34"},
          {"Zmin", "0.2"}},
         {{"Star 1 (required)", "star"}, {"Star 2", "star-blue"}}},
    };
    return presets;
}
// clang-format on

} // namespace app
