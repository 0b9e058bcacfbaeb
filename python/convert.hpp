// The Python faces of the batch conversions: static methods of SornId and
// QuibId, entered in their method tables.
#pragma once

#include "binding.hpp"

namespace sornquibid::py {

// SornId.batch_to_quibids(ids): [(SornId, QuibId)] in input order.
PyObject* sorn_batch_to_quibids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// SornId.check_quibid_convertibility(_ids): always [], after checking _ids.
PyObject* sorn_check_quibid_convertibility(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);
// QuibId.batch_to_sornids(ids): [(QuibId, SornId)] sorted by QuibId.
PyObject* quib_batch_to_sornids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// QuibId.check_sornid_convertibility(ids): the text of every conflict.
PyObject* quib_check_sornid_convertibility(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);
// QuibId.sornid_conflict_details(ids): the same conflicts, each as the tuple
// (kind, timestamp_ms, node_id, count, max, quib_ids, text); a field the
// kind does not have is None.
PyObject* quib_sornid_conflict_details(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace sornquibid::py
