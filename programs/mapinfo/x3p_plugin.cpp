// The module mapinfo loads for X3P files: the X3P library's functions it calls.
#include <mapconv/version.h>

#include "programs/mapinfo/mapinfo_plugins.h"

extern "C" __attribute__((visibility("default"))) const PluginTable<X3pFunctions> MAPINFO_X3P_TABLE{
    MAPCONV_VERSION,
    sizeof(PluginTable<X3pFunctions>),
    {x3p_open_map_source, x3p_reader_clear, x3p_reader_open, x3p_check_map_grid, x3p_reader_read_heights,
     x3p_reader_finish, x3p_reader_close, x3p_data_type_name}};
