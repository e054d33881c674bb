// The viewer's OpenColorIO views: the config that $OCIO names, its displays and their
// views, and a conversion of float pictures through each display and view the page asks
// for, made once and kept.
#pragma once

#include "app/view_session.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

namespace app {

enum class OcioPath { Fast, Exact };

class OcioViews {
public:
    // The config that $OCIO names; nullptr when $OCIO is unset or empty. Throws Failure,
    // naming the config, when it cannot be read or is not valid, or when this build has no
    // OpenColorIO.
    static std::unique_ptr<OcioViews> FromEnvironment();
    // The config in the file; throws Failure as above.
    explicit OcioViews(const std::string& file);
    ~OcioViews();

    // {"config": file, "input": the colour space pictures are taken to be in,
    //  "displays": [{"name", "views": [...], "defaultView"}], "display": the default
    //  display, "view": its default view}.
    nlohmann::ordered_json Describe() const;

    // The conversion through a display and view of the config: throws UsageError naming
    // them when the config has no such display or view, Failure when OpenColorIO cannot
    // build it. Made on first use; later calls return the same one. Where the channels do
    // not mix, it looks the processor's results up in a table (within one step of the
    // processor's own); OcioPath::Exact asks the processor for every pixel.
    std::shared_ptr<const FloatView> View(const std::string& display, const std::string& view,
                                          OcioPath path = OcioPath::Fast);

private:
    struct Config;
    std::unique_ptr<Config> m_config;
    std::mutex m_mutex; // the kept conversions
    std::map<std::tuple<std::string, std::string, OcioPath>, std::shared_ptr<const FloatView>>
        m_views;
};

} // namespace app
