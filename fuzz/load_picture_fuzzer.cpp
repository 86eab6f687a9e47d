// One libFuzzer target per decoder route: the input is written to a file with
// the route's extension and loaded like any catalogued picture.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/analysis/picture_loading.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"
#include "engine/settings/settings.h"

namespace {

std::string inputPath()
{
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/ferrovin-fuzz-" + std::to_string(getpid()) + "."
           + FERROVIN_FUZZ_EXTENSION;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = inputPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written)
        return 0;

    ferrovin::Raster full;
    ferrovin::Raster small;
    small.setSize(128, 128, ferrovin::PixelFormat::Pf24Bit);
    try {
        ferrovin::LoadPicture(path, full, small, ferrovin::Settings{});
        // A loaded picture must be consistent, whatever the input was.
        if (small.Width != 128 || small.Height != 128 || full.Width <= 0 || full.Height <= 0
            || full.Pixels.size() != full.rowBytes() * static_cast<std::size_t>(full.Height))
            __builtin_trap();
    } catch (const ferrovin::EngineError&) {
    }
    return 0;
}
