#include "platform/pipewire/WaylandOutputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace lumacast::wayland {

namespace {

// The registry's outputs while the connection is open; each keeps its proxy until the end.
struct Listing {
    struct Output {
        wl_output *proxy = nullptr;
        OutputInfo info;
    };
    std::vector<std::unique_ptr<Output>> outputs;
};

QString text(const char *value)
{
    return value ? QString::fromUtf8(value).trimmed() : QString();
}

void onGeometry(void *data, wl_output *, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char *make,
                const char *model, int32_t)
{
    auto *output = static_cast<Listing::Output *>(data);
    output->info.position = QPoint(x, y);
    output->info.make = text(make);
    output->info.model = text(model);
}

void onMode(void *data, wl_output *, uint32_t flags, int32_t width, int32_t height, int32_t)
{
    if (flags & WL_OUTPUT_MODE_CURRENT)
        static_cast<Listing::Output *>(data)->info.size = QSize(width, height);
}

void onDone(void *, wl_output *) {}
void onScale(void *, wl_output *, int32_t) {}

void onName(void *data, wl_output *, const char *name)
{
    static_cast<Listing::Output *>(data)->info.name = text(name);
}

void onDescription(void *data, wl_output *, const char *description)
{
    static_cast<Listing::Output *>(data)->info.description = text(description);
}

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onGlobal(void *data, wl_registry *registry, uint32_t id, const char *interface, uint32_t version)
{
    if (std::strcmp(interface, wl_output_interface.name) != 0)
        return;
    auto *listing = static_cast<Listing *>(data);
    auto output = std::make_unique<Listing::Output>();
    // Version 4 brings the name and the description; older compositors give make and model.
    output->proxy = static_cast<wl_output *>(wl_registry_bind(registry, id, &wl_output_interface, std::min(version, 4u)));
    wl_output_add_listener(output->proxy, &kOutputListener, output.get());
    listing->outputs.push_back(std::move(output));
}

void onGlobalRemove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

// Manufacturers' placeholders for a model nobody named.
bool meaningful(const QString &model)
{
    return !model.isEmpty() && model.compare(QLatin1String("unknown"), Qt::CaseInsensitive) != 0
        && model.compare(QLatin1String("headless"), Qt::CaseInsensitive) != 0;
}

} // namespace

std::vector<OutputInfo> listOutputs()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return {};
    Listing listing;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &listing);
    // The first round trip announces the outputs, the second their properties.
    const bool answered = wl_display_roundtrip(display) >= 0 && wl_display_roundtrip(display) >= 0;
    std::vector<OutputInfo> result;
    for (const auto &output : listing.outputs) {
        if (answered)
            result.push_back(output->info);
        if (wl_proxy_get_version(reinterpret_cast<wl_proxy *>(output->proxy)) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(output->proxy);
        else
            wl_output_destroy(output->proxy);
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return result;
}

QString desktopName(const OutputInfo &output)
{
    if (meaningful(output.model))
        return output.name.isEmpty() ? output.model : QStringLiteral("%1 (%2)").arg(output.model, output.name);
    return output.name.isEmpty() ? output.description : output.name;
}

} // namespace lumacast::wayland
