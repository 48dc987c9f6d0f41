#include "names.hpp"

#include "once.hpp"

namespace catenc::py {

namespace {
OnceCell<Names> names_cell;
}

PyResult<const Names*> names() {
  return names_cell.get_or_init([]() -> PyResult<Names> {
    Names made{};
    // Interned strings live as long as the process in practice; the counts are never returned.
    const std::pair<PyObject**, const char*> table[] = {
        {&made.obj, "obj"},         {&made.encoding, "encoding"},
        {&made.all, "__all__"},     {&made.add_note, "add_note"},
        {&made.shape, "shape"},     {&made.values, "values"},
        {&made.columns, "columns"}, {&made.tolist, "tolist"},
        {&made.pandas, "pandas"},   {&made.version, "__version__"},
    };
    for (const auto& [slot, text] : table) {
      *slot = PyUnicode_InternFromString(text);
      if (*slot == nullptr) return fetched();
    }
    return made;
  });
}

}  // namespace catenc::py
