// RustEnsemble: the validated, immutable tree ensemble and its batch scoring.
#include <algorithm>
#include <cmath>
#include <memory>

#include "convert.hpp"
#include "guarded.hpp"
#include "ir.hpp"
#include "objects.hpp"

namespace morvel::py {

PyTypeObject* g_ensemble_type = nullptr;

namespace {

PyRef build_ensemble(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const Args a("RustEnsemble", args, kwargs,
               {"feature", "threshold", "is_lt", "missing_left", "left", "right", "value",
                "tree_roots", "base_score", "link", "n_features", "node_set", "set_offsets",
                "set_words", "cat_idx", "cat_card"},
               11);
  auto feature = to_vector<std::int32_t>(a[0], "feature");
  auto threshold = to_vector<double>(a[1], "threshold");
  auto is_lt = to_vector<std::uint8_t>(a[2], "is_lt");
  auto missing_left = to_vector<std::uint8_t>(a[3], "missing_left");
  auto left = to_vector<std::uint32_t>(a[4], "left");
  auto right = to_vector<std::uint32_t>(a[5], "right");
  auto value = to_vector<double>(a[6], "value");
  auto tree_roots = to_vector<std::uint32_t>(a[7], "tree_roots");
  const double base_score = to_double(a[8], "base_score");
  const std::string link_name = to_str(a[9], "link");
  const std::uint64_t n_features = to_count(a[10], "n_features");
  auto node_set = to_optional_vector<std::int32_t>(a[11], "node_set");
  auto set_offsets = to_optional_vector<std::uint32_t>(a[12], "set_offsets");
  auto set_words = to_optional_vector<std::uint64_t>(a[13], "set_words");
  auto cat_idx = to_optional_vector<std::uint32_t>(a[14], "cat_idx");
  auto cat_card = to_optional_vector<std::uint32_t>(a[15], "cat_card");

  const Link link = parse_link(link_name);
  const bool categorical = node_set && set_offsets && set_words;
  if (categorical) {
    // A categorical split never reads its threshold, so a NaN there is harmless; the core
    // refuses NaN thresholds on numeric splits, and every split is numeric until the sets
    // are attached.
    const std::size_t n = std::min(node_set->size(), threshold.size());
    for (std::size_t i = 0; i < n; ++i) {
      if ((*node_set)[i] >= 0 && std::isnan(threshold[i])) threshold[i] = 0.0;
    }
  }
  Ensemble ensemble = Ensemble::create(std::move(feature), std::move(threshold), std::move(is_lt),
                                       std::move(missing_left), std::move(left), std::move(right),
                                       std::move(value), base_score, std::move(tree_roots), link,
                                       n_features);
  if (categorical) {
    std::vector<CategoricalFeature> features;
    if (cat_idx && cat_card) {
      const std::size_t n = std::min(cat_idx->size(), cat_card->size());
      for (std::size_t k = 0; k < n; ++k) features.push_back({(*cat_idx)[k], (*cat_card)[k]});
    }
    ensemble = Ensemble::with_categorical_features(std::move(ensemble), std::move(*node_set),
                                                   std::move(*set_offsets),
                                                   std::move(*set_words), std::move(features));
  }
  auto owned = std::make_unique<Ensemble>(std::move(ensemble));
  PyRef self = checked(type->tp_alloc(type, 0));
  reinterpret_cast<EnsembleObject*>(self.get())->ensemble = owned.release();
  return self;
}

PyObject* ensemble_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return build_ensemble(type, args, kwargs); });
}

void ensemble_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<EnsembleObject*>(self)->ensemble;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* raw_score_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Args a("raw_score_batch", args, kwargs, {"x"}, 1);
    const Ensemble& e = *reinterpret_cast<EnsembleObject*>(self)->ensemble;
    const MatrixArg x = to_matrix(a[0], "x");
    require_width(e.n_features(), x.cols);
    PyRef out = new_array<double>(x.rows);
    auto* scores = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    e.raw_score_batch_into(x.data, x.rows, scores, /*parallel=*/true);
    return out;
  });
}

const char* link_name(Link link) { return link == Link::Sigmoid ? "sigmoid" : "identity"; }

// Pickling: the constructor and the arrays it validated, so unpickling validates again
// (a damaged state raises the constructor's errors) and rebuilds a bit-identical model.
PyObject* reduce_ensemble(PyObject* self, PyObject*) {
  return guarded([&] {
    const Ensemble& e = *reinterpret_cast<EnsembleObject*>(self)->ensemble;
    std::vector<std::uint32_t> cat_idx, cat_card;
    for (const CategoricalFeature& c : e.categorical_features()) {
      cat_idx.push_back(c.feature);
      cat_card.push_back(c.cardinality);
    }
    const PyRef feature = span_to_numpy(e.feature()), threshold = span_to_numpy(e.threshold()),
                is_lt = span_to_numpy(e.is_lt()), missing_left = span_to_numpy(e.missing_left()),
                left = span_to_numpy(e.left()), right = span_to_numpy(e.right()),
                value = span_to_numpy(e.value()), roots = span_to_numpy(e.tree_roots()),
                node_set = span_to_numpy(e.node_set()),
                set_offsets = span_to_numpy(e.set_offsets()),
                set_words = span_to_numpy(e.set_words()), idx = to_numpy(cat_idx),
                card = to_numpy(cat_card);
    PyRef args = checked(Py_BuildValue(
        "(OOOOOOOOdsKOOOOO)", feature.get(), threshold.get(), is_lt.get(), missing_left.get(),
        left.get(), right.get(), value.get(), roots.get(), e.base_score(), link_name(e.link()),
        static_cast<unsigned long long>(e.n_features()), node_set.get(), set_offsets.get(),
        set_words.get(), idx.get(), card.get()));
    return checked(Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get()));
  });
}

PyMethodDef ensemble_methods[] = {
    {"raw_score_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_score_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "raw_score_batch($self, x)\n--\n\n"
     "Raw scores for a C-contiguous (n_rows, n_features) float64 matrix."},
    {"__reduce__", reduce_ensemble, METH_NOARGS, "Pickle support: the constructor's arrays."},
    {nullptr, nullptr, 0, nullptr}};

const char ensemble_doc[] =
    "RustEnsemble(feature, threshold, is_lt, missing_left, left, right, value, tree_roots, "
    "base_score, link, n_features, node_set=None, set_offsets=None, set_words=None, "
    "cat_idx=None, cat_card=None)\n--\n\n"
    "Refused (ValueError), beyond index ranges: a NaN threshold on a numeric split; a node\n"
    "reached from more than one split or tree_roots entry; n_features above 2**30; more than\n"
    "2**24 categories for a feature. Categorical data is attached only when node_set,\n"
    "set_offsets and set_words are all given; cat_idx and cat_card pair up to the shorter,\n"
    "a later pair for the same feature winning. Children and thresholds of leaves are unread.";

PyType_Slot ensemble_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ensemble_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ensemble_dealloc)},
    {Py_tp_methods, ensemble_methods},
    {Py_tp_doc, const_cast<char*>(ensemble_doc)},
    {0, nullptr}};

}  // namespace

PyTypeObject* create_ensemble_type() {
  static PyType_Spec spec = {"_morvel_core.RustEnsemble", sizeof(EnsembleObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE
#ifdef Py_TPFLAGS_IMMUTABLETYPE
                                 | Py_TPFLAGS_IMMUTABLETYPE
#endif
                             ,
                             ensemble_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace morvel::py
