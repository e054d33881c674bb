// Writes the tile picture of every plug-in that carries one as <registry ID>.png into a
// folder: the icons of the OpenFX bundle. Usage: qrvx-ofx-icons PLUGIN_FOLDER OUT_FOLDER.
#include "host/session.h"

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <iostream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: qrvx-ofx-icons PLUGIN_FOLDER OUT_FOLDER\n";
        return 2;
    }
    try {
        for (const std::string& file : qrvx::FindPluginFiles(argv[1])) {
            const auto plugin = qrvx::Plugin::Load(file);
            const PluginResources& res = plugin->Resources();
            if (!res.tilePixels) continue;
            // The picture's rows are B, G, R; the icon is RGBA, opaque.
            const int w = res.tileWidth, h = res.tileHeight;
            std::vector<std::uint8_t> rgba(std::size_t(w) * std::size_t(h) * 4);
            for (std::size_t i = 0; i < std::size_t(w) * std::size_t(h); ++i) {
                rgba[i * 4 + 0] = res.tilePixels[i * 3 + 2];
                rgba[i * 4 + 1] = res.tilePixels[i * 3 + 1];
                rgba[i * 4 + 2] = res.tilePixels[i * 3 + 0];
                rgba[i * 4 + 3] = 255;
            }
            for (const Registry* entry : plugin->Entries()) {
                const std::string path = std::string(argv[2]) + "/" + entry->ID().Text() + ".png";
                auto out = OIIO::ImageOutput::create(path);
                if (!out || !out->open(path, OIIO::ImageSpec(w, h, 4, OIIO::TypeDesc::UINT8)) ||
                    !out->write_image(OIIO::TypeDesc::UINT8, rgba.data()) || !out->close()) {
                    std::cerr << "qrvx-ofx-icons: cannot write " << path << "\n";
                    return 1;
                }
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "qrvx-ofx-icons: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
