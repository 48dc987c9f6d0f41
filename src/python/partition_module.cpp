// The module `_catenc_partition`, private to this distribution: what the processes that hold the
// partitions of a larger table (a Dask DataFrame) run, so that the codes of every partition are
// those of the whole table. It lives in the same shared object as `catenc` and shares its pool;
// `_catenc_dask` loads it from there. Every argument and result is plain data (a partition, bytes,
// arrays, label sets as a pair of bytes and int64 offsets): no Encoder ever travels.
#include <cstring>
#include <span>
#include <vector>

#include "decode.hpp"
#include "encode_table.hpp"
#include "frame.hpp"
#include "label_set_objects.hpp"
#include "learned.hpp"
#include "numpy_api.hpp"
#include "once.hpp"
#include "pool.hpp"
#include "vocabulary_index.hpp"

namespace catenc::py {

namespace {

PyStatus expect_args(Py_ssize_t given, Py_ssize_t wanted, const char* name) {
  if (given == wanted) return {};
  return fail(PyExc_TypeError, std::string(name) + "() takes " + std::to_string(wanted) +
                                   " arguments (" + std::to_string(given) + " given)");
}

PyResult<std::vector<LabelRule>> rules_of(PyObject* rules) {
  if (!PyBytes_Check(rules)) return Unexpected<Error>{not_an_instance(rules, "bytes")};
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(rules));
  std::vector<LabelRule> out;
  for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(rules); ++i) {
    if (bytes[i] > static_cast<unsigned char>(LabelRule::numbers_follow)) {
      return fail(PyExc_ValueError, "no such label rule: " + std::to_string(bytes[i]));
    }
    out.push_back(static_cast<LabelRule>(bytes[i]));
  }
  return out;
}

PyResult<EncodedPartition> encode_by_rules(
    PyObject* frame, PyObject* rules_bytes,
    std::span<const VocabularyIndex* const> vocabularies = {}) {
  CATENC_TRY(numpy_api());
  CATENC_ASSIGN_OR_RETURN(const std::vector<LabelRule> rules, rules_of(rules_bytes));
  if (!vocabularies.empty() && vocabularies.size() != rules.size())
    return fail(PyExc_ValueError, "a vocabulary (or None) is needed for each column");
  return encode_partition(Borrowed(frame), rules, vocabularies);
}

constexpr const char* vocabulary_capsule = "_catenc_partition.vocabulary";

void free_vocabulary(PyObject* capsule) {
  delete static_cast<VocabularyIndex*>(PyCapsule_GetPointer(capsule, vocabulary_capsule));
}

// vocabulary(set): the whole table's labels of a column, indexed for encode. Built once in each
// process that encodes partitions, and used by all of them.
PyResult<Ref> vocabulary(PyObject* const* args, Py_ssize_t nargs) {
  CATENC_TRY(expect_args(nargs, 1, "vocabulary"));
  CATENC_ASSIGN_OR_RETURN(const ReceivedSet set, received_set(args[0]));
  Outcome<VocabularyIndex> built = [&] {
    Detached away;
    return VocabularyIndex::build(set.span);
  }();
  if (!built) return Unexpected<Error>{Error::from(std::move(built).error())};
  auto index = std::make_unique<VocabularyIndex>(std::move(built).value());
  Ref capsule = Ref::steal(PyCapsule_New(index.get(), vocabulary_capsule, free_vocabulary));
  if (!capsule) return fetched();
  index.release();
  return capsule;
}

PyResult<const VocabularyIndex*> vocabulary_of(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, vocabulary_capsule))
    return fail(PyExc_TypeError, "a vocabulary must come from vocabulary()");
  return static_cast<const VocabularyIndex*>(PyCapsule_GetPointer(capsule, vocabulary_capsule));
}

// learn(frame, rules): for each column, None when it came out numeric, else (its labels as a set,
// whether numbers led them).
PyResult<Ref> learn(PyObject* const* args, Py_ssize_t nargs) {
  CATENC_TRY(expect_args(nargs, 2, "learn"));
  CATENC_ASSIGN_OR_RETURN(EncodedPartition part, encode_by_rules(args[0], args[1]));
  const EncodingInfo& info = *part.encoded.info;
  const size_t columns = part.leading_numbers.size();
  Ref reports = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns)));
  if (!reports) return fetched();
  for (size_t c = 0; c < columns; ++c) {
    Ref report = Ref::borrow(Py_None);
    if (const std::optional<size_t> position = info.position(c)) {
      CATENC_ASSIGN_OR_RETURN(Ref set, set_object(info.map_at(*position)));
      report = Ref::steal(PyTuple_Pack(2, set.get(), part.leading_numbers[c] ? Py_True : Py_False));
      if (!report) return fetched();
    }
    PyList_SET_ITEM(reports.get(), static_cast<Py_ssize_t>(c), report.release());
  }
  return reports;
}

Unexpected<Error> changed_between_passes(size_t column, const char* what) {
  return fail(PyExc_RuntimeError, "the table changed between the passes over it: column " +
                                      std::to_string(column) + " " + what);
}

// encode(frame, rules, vocabularies): the partition's float64 table, column-major, in which every
// column with a vocabulary (from vocabulary(), else None) holds the codes of that vocabulary.
PyResult<Ref> encode(PyObject* const* args, Py_ssize_t nargs) {
  CATENC_TRY(expect_args(nargs, 3, "encode"));
  Ref given = Ref::steal(PySequence_Fast(args[2], "vocabularies must be a sequence"));
  if (!given) return fetched();
  std::vector<const VocabularyIndex*> vocabularies(
      static_cast<size_t>(PySequence_Fast_GET_SIZE(given.get())));
  for (size_t c = 0; c < vocabularies.size(); ++c) {
    PyObject* item = PySequence_Fast_GET_ITEM(given.get(), static_cast<Py_ssize_t>(c));
    if (item == Py_None) continue;
    CATENC_ASSIGN_OR_RETURN(vocabularies[c], vocabulary_of(item));
  }
  CATENC_ASSIGN_OR_RETURN(EncodedPartition part, encode_by_rules(args[0], args[1], vocabularies));
  Table& table = part.encoded.table.table;
  const EncodingInfo& info = *part.encoded.info;
  for (size_t c = 0; c < table.columns(); ++c) {
    const VocabularyIndex* whole = vocabularies[c];
    const std::optional<size_t> position = info.position(c);
    if (whole == nullptr) {
      if (position) return changed_between_passes(c, "holds labels where it held none");
      continue;
    }
    if (!position) {
      // Only a part without rows has no labels to show for a label column.
      if (table.rows() > 0) return changed_between_passes(c, "holds no labels where it held some");
      continue;
    }
    // A kernel that wrote the vocabulary's codes left its own map empty; any other gave the codes
    // of its own labels, which are translated here.
    const LabelMap& mine = info.map_at(*position);
    std::vector<double> code_of(mine.code_count());
    bool found_all = true;
    for (size_t i = 0; i < mine.size() && found_all; ++i) {
      const LabelMap::Entry entry = mine.entry(i);
      double code;
      found_all = whole->find(entry.label, code);
      if (found_all && entry.code) code_of[*entry.code] = code;
    }
    if (!found_all) return changed_between_passes(c, "holds a label it did not hold");
    if (mine.size() == 0) continue;
    double* cells = table.data() + c * table.column_stride();
    const size_t stride = table.row_stride();
    Status done = [&] {
      Detached away;
      return pool::for_range(table.rows(), 1 << 16, [&](size_t lo, size_t hi) -> Status {
        for (size_t r = lo; r < hi; ++r) {
          double& cell = cells[r * stride];
          if (cell == cell) cell = code_of[static_cast<size_t>(cell)];  // a missing NaN stays
        }
        return {};
      });
    }();
    if (!done) return Unexpected<Error>{Error::from(std::move(done).error())};
  }
  return std::move(part.encoded.table.array);
}

// decode(table, vocabularies): the columns of a 2-D float64 table, each with a vocabulary as an
// object array of the labels of its codes (None for missing), each other as float64.
PyResult<Ref> decode(PyObject* const* args, Py_ssize_t nargs) {
  CATENC_TRY(expect_args(nargs, 2, "decode"));
  CATENC_TRY(numpy_api());
  auto* array = reinterpret_cast<PyArrayObject*>(args[0]);
  if (!PyArray_Check(args[0]) || PyArray_NDIM(array) != 2 || PyArray_TYPE(array) != NPY_FLOAT64 ||
      !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array)) {
    return fail(PyExc_ValueError, "decode takes a 2-D float64 array");
  }
  const auto rows = static_cast<size_t>(PyArray_DIM(array, 0));
  const auto columns = static_cast<size_t>(PyArray_DIM(array, 1));
  Ref vocabularies = Ref::steal(PySequence_Fast(args[1], "vocabularies must be a sequence"));
  if (!vocabularies) return fetched();
  if (static_cast<size_t>(PySequence_Fast_GET_SIZE(vocabularies.get())) != columns) {
    return fail(PyExc_ValueError, "a vocabulary (or None) is needed for each column");
  }
  const auto cell = [&](size_t r, size_t c) {
    double value;
    std::memcpy(&value,
                PyArray_BYTES(array) + static_cast<npy_intp>(r) * PyArray_STRIDE(array, 0) +
                    static_cast<npy_intp>(c) * PyArray_STRIDE(array, 1),
                sizeof value);
    return value;
  };
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns)));
  if (!result) return fetched();
  npy_intp length = static_cast<npy_intp>(rows);
  for (size_t c = 0; c < columns; ++c) {
    PyObject* vocabulary = PySequence_Fast_GET_ITEM(vocabularies.get(), static_cast<Py_ssize_t>(c));
    Ref column;
    if (vocabulary == Py_None) {
      column = Ref::steal(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
      if (!column) return fetched();
      auto* out =
          static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(column.get())));
      for (size_t r = 0; r < rows; ++r) out[r] = cell(r, c);
    } else {
      CATENC_ASSIGN_OR_RETURN(const ReceivedSet labels, received_set(vocabulary));
      column = Ref::steal(PyArray_SimpleNew(1, &length, NPY_OBJECT));
      if (!column) return fetched();
      auto** slots =
          static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(column.get())));
      // Each label's str is made once and shared by its cells.
      std::vector<Ref> strs(labels.span.code_count());
      for (size_t r = 0; r < rows; ++r) {
        const std::optional<uint64_t> code = decode_code(cell(r, c), labels.span.code_count());
        PyObject* value = Py_None;
        if (code) {
          Ref& str = strs[*code];
          if (!str) {
            str = Ref::steal(new_label_str(labels.span.label_of(*code)));
            if (!str) return fetched();
          }
          value = str.get();
        }
        PyObject* old = slots[r];
        slots[r] = Py_NewRef(value);
        Py_XDECREF(old);
      }
    }
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(c), column.release());
  }
  return result;
}

// union(*sets): the set of the labels of all.
PyResult<Ref> set_union(PyObject* const* args, Py_ssize_t nargs) {
  CATENC_TRY(numpy_api());
  std::vector<ReceivedSet> received;
  std::vector<LabelSpan> spans;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    // The union of sets in the wrong order is so too: the set it ends in is checked in full.
    CATENC_ASSIGN_OR_RETURN(ReceivedSet one, received_set(args[i], false));
    spans.push_back(one.span);
    received.push_back(std::move(one));
  }
  LabelSetBuffers merged;
  {
    Detached away;
    merged = label_set_union(spans);
  }
  return set_object(merged);
}

template <PyResult<Ref> (*body)(PyObject* const*, Py_ssize_t)>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return object_frame([&] { return body(args, nargs); });
}

PyMethodDef functions[] = {
    {"learn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<learn>)),
     METH_FASTCALL, "learn(frame, rules)\n--\n\nEach column's labels, or None for a numeric one."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<encode>)),
     METH_FASTCALL,
     "encode(frame, rules, vocabularies)\n--\n\nThe partition's codes in the whole table's "
     "vocabularies."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<decode>)),
     METH_FASTCALL,
     "decode(table, vocabularies)\n--\n\nThe columns of a table of codes, labelled."},
    {"vocabulary",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<vocabulary>)),
     METH_FASTCALL, "vocabulary(set)\n--\n\nA column's labels, indexed for encode."},
    {"union", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<set_union>)),
     METH_FASTCALL, "union(a, b)\n--\n\nThe labels of two label sets."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef partition_module = {
    PyModuleDef_HEAD_INIT,
    "_catenc_partition",
    "What the partitions of a larger table run (private).",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace catenc::py

PyMODINIT_FUNC PyInit__catenc_partition() {
  return PyModuleDef_Init(&catenc::py::partition_module);
}
