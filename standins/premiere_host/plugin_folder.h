// Finding export modules the way Premiere does: in its plug-ins folder, by each plug-in's
// property list ("PIPL" resource).
//
//   PIPL resource, little-endian (four-character codes as 32-bit integers):
//   offset  size  field
//   0       2     version, 1
//   2       4     0
//   6       4     property count
//   10      ...   properties: vendor 4, key 4, id 4, data length 4 (a multiple of 4), data
//
// An export module has the property '8BIM' 'kind' with the data 'CMPM'; its name is the
// property 'name', a length byte and the text.
#pragma once

#include <string>
#include <vector>

struct plugin_module {
    std::string path;
    std::string name;  // from its property list
};

// Reads the property list of every *.prm in `folder` (loaded as data, so no code runs) and
// returns the export modules among them, in the order the folder lists them. A file without a
// readable property list, or one that is another kind of plug-in, is left out.
std::vector<plugin_module> find_export_modules(const std::string& folder);
