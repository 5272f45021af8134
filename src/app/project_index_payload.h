// The "projectIndex" event's value, written straight from the index.
//
// Building the JSON tree of 1,000 summaries (about 140,000 nodes) only to
// serialise it took more of the loop than the whole event may. The writer
// produces the same bytes as serialising the tree (dictionary() with
// `indexed` true, keys sorted, invalid UTF-8 replaced) without building it.
#pragma once

#include "project/als_project.h"

#include <string>

namespace vantorel {

// The compact JSON of index.dictionary() with `indexed` true added.
std::string projectIndexPayload(const ALSProjectIndex& index);

}  // namespace vantorel
