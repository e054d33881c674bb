#include "app/demo_presets.h"

std::span<const DemoPreset> DemoPresets() {
    static const std::vector<DemoPreset> presets = {
        {"ChannelShift", "red pushed right and blue left: colour fringes",
         {{"Center Red", "0.52,0.5"}, {"Center Blue", "0.48,0.5"}}},
    };
    return presets;
}
