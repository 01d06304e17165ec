// The change-set rule arguments that the solver entries share: max_changes, the earlier
// change sets (exclude_offsets, exclude_features) and the diversity rule.
#pragma once

#include <cstddef>

#include "change_rules.hpp"
#include "pyref.hpp"

namespace morvel::py {

// Any argument may be null (not given). The earlier sets are given as CSR arrays: set i
// holds exclude_features[exclude_offsets[i] .. exclude_offsets[i + 1]]; both or neither.
// Raises ValueError for malformed sets and RuntimeError for an unknown diversity text.
ChangeRules read_change_rules(PyObject* max_changes, PyObject* exclude_offsets,
                              PyObject* exclude_features, PyObject* diversity,
                              std::size_t n_features);

}  // namespace morvel::py
