// Reading a component's registration from a component file: the records at the file's end
// (hx_resource_fork.h), its resource fork, the 'thng' 512 record and the Win32 platform's
// 'dlle' entry-point name.
//
//   'thng' record, big-endian:
//   offset  size  field                 offset  size  field
//   0       4     type                  44      4     version
//   4       4     subtype               48      4     registration flags
//   8       4     manufacturer          52      2     icon family
//   12      4     flags                 54      4     platform count
//   16      4     flags mask            58      12n   platforms: flags 4, code resource
//   20      6     code resource                       type 4 + ID 2, platform type 2
//   26      6     name resource ('STR ')      then    public resource map, 6
//   32      6     info resource
//   38      6     icon resource
#pragma once

#include "hx_qt_types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace hx_qt {

struct component_registration {
    ComponentDescription description{};  // flags from the Win32 platform entry
    uint32_t version = 0;
    std::string entry_name;  // from 'dlle'
    std::string name;        // from the name 'STR ' resource, "" when there is none
    std::string info;        // from the information 'STR ' resource, "" when there is none
};

// Parses the whole file's bytes. False, with `reason`, for a file it refuses; it never reads
// outside `bytes`.
bool parse_component_file(const uint8_t* bytes, size_t size, component_registration* out,
                          std::string* reason);

}  // namespace hx_qt
