// The module mapinfo loads to draw a picture.
#include <mapconv/version.h>

#include "programs/mapinfo/mapinfo_plugins.h"

extern "C" __attribute__((visibility("default"))) const PluginTable<PictureFunctions> MAPINFO_PICTURE_TABLE{
    MAPCONV_VERSION, sizeof(PluginTable<PictureFunctions>), {picture_legend_available, draw_height_picture}};
