#include "app/demo_presets.h"

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
        {"LineDrop", "keeps one row in three: the card squashed to a third of its height",
         {{"Hscanlines showing input", "1"}, {"Hscanlines showing Color", "2"}}},
    };
    return presets;
}
// clang-format on
