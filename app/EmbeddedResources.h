// Resources compiled into the program; the table is generated at build time
// from release/resources.list (see ReleaseResources.h).
#pragma once

#include <cstddef>

namespace lfapp {

struct EmbeddedResource {
    const char* type;
    int id;
    const unsigned char* bytes;
    size_t size;
};

extern const EmbeddedResource kEmbeddedResources[];
extern const size_t kEmbeddedResourceCount;

}  // namespace lfapp
