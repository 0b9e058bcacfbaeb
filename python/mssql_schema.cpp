// The mssql_schema submodule: SQL Server script constants and trigger builders.
#include "types.hpp"

namespace sornquibid::py {

bool populate_mssql_schema(PyObject*) { return true; }

}  // namespace sornquibid::py
