// The segment tree now lives in the engine layer; this name stays for the
// headers that still include it from here.
#ifndef SKARN_IMPL_SEGMENT_TREE_HPP
#define SKARN_IMPL_SEGMENT_TREE_HPP

#include "engine/segment_tree.hpp"

#endif  // SKARN_IMPL_SEGMENT_TREE_HPP
