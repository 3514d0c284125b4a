// The model's constructor parameters, kept in one table: the signature of the
// three constructors, the stored attributes, the keywords the estimators hand
// to the base, the docstring's parameter section and the booster's parameter
// dict are all read from it, so that a parameter is added or changed in one place.
#include <algorithm>
#include <sstream>

#include "context.hpp"

namespace mirt::xgb2 {

namespace {

struct Default {
  enum class Kind { integer, real, text, none, empty_tuple };
  Kind kind;
  double number = 0;
  const char* text = nullptr;

  py::object make() const {
    switch (kind) {
      case Kind::integer:
        return py::int_(static_cast<long long>(number));
      case Kind::real:
        return py::float_(number);
      case Kind::text:
        return py::str(text);
      case Kind::none:
        return py::none();
      case Kind::empty_tuple:
        break;
    }
    return py::tuple();
  }
};

constexpr Default integer(double v) { return {Default::Kind::integer, v, nullptr}; }
constexpr Default real(double v) { return {Default::Kind::real, v, nullptr}; }
constexpr Default text(const char* v) { return {Default::Kind::text, 0, v}; }
constexpr Default none() { return {Default::Kind::none, 0, nullptr}; }
constexpr Default empty_tuple() { return {Default::Kind::empty_tuple, 0, nullptr}; }

// How the booster receives a parameter it is given.
enum class Booster { own_value, monotone_constraints };

struct Parameter {
  const char* name;
  Default base_default;
  Default estimator_default;
  // The docstring's entry: its head line and its description lines.
  const char* doc_head;
  const char* doc_text;
  // Position in the docstring, which lists reg_alpha before reg_lambda.
  int doc_rank;
  Booster booster;
  // Position in xgb_params_, whose order differs from the signature's; -1
  // when the booster does not receive the parameter.
  int booster_rank;
};

// Signature order. The docstring keeps its historical texts ("gpu_hist", a
// max_bin default of 20) and adds the sentence that makes each of them true.
const Parameter kParameters[] = {
    {"n_estimators", integer(100), integer(100), "n_estimators : int, default=100",
     "Number of gradient boosted trees.", 0, Booster::own_value, 1},
    {"eta", real(0.3), real(0.3), "eta : float, default=0.3", "Boosting learning rate.", 1,
     Booster::own_value, 2},
    {"max_depth", integer(2), integer(2), "max_depth: int, default=2", "Max tree depth", 2,
     Booster::own_value, 0},
    {"tree_method", text("auto"), text("auto"),
     "tree_method : {\"exact\", \"hist\", \"approx\", \"gpu_hist\", \"auto\"}, default=\"auto\"",
     "Specify which tree method to use.\n"
     "XGBoost 2 deprecates \"gpu_hist\" and XGBoost 3 refuses it: since version 2,\n"
     "XGBoost chooses the GPU through its own `device` setting, with \"hist\".",
     3, Booster::own_value, 4},
    {"max_bin", integer(20), integer(256), "max_bin : int, default=20",
     "If using histogram-based algorithm, maximum number of bins per feature.\n"
     "This estimator's default is 256, as its signature says.",
     4, Booster::own_value, 5},
    {"reg_lambda", integer(1), integer(0), "reg_lambda : float, default=0",
     "L2 regularization term on weights.", 6, Booster::own_value, 6},
    {"reg_alpha", integer(0), integer(0), "reg_alpha : float, default=0",
     "L1 regularization term on weights.", 5, Booster::own_value, 7},
    {"gamma", integer(0), integer(0), "gamma : float, default=0",
     "Minimum loss reduction required to make a further partition on a leaf node of the tree.",
     7, Booster::own_value, 3},
    {"feature_names", none(), none(), "feature_names : list or None, default=None",
     "The list of feature names.", 8, Booster::own_value, -1},
    {"feature_types", none(), none(), "feature_types : list or None, default=None",
     "The list of feature types. Available types include \"numerical\" and \"categorical\".", 9,
     Booster::own_value, -1},
    // Both monotone lists become the booster's one constraint vector.
    {"mono_increasing_list", empty_tuple(), empty_tuple(),
     "mono_increasing_list : tuple of str, default=()",
     "The feature name tuple subject to monotonic increasing constraint.", 10,
     Booster::monotone_constraints, 8},
    {"mono_decreasing_list", empty_tuple(), empty_tuple(),
     "mono_decreasing_list : tuple of str, default=()",
     "The feature name tuple subject to monotonic decreasing constraint.", 11,
     Booster::own_value, -1},
    {"random_state", integer(0), integer(0), "random_state : int, default=0", "The random seed.",
     12, Booster::own_value, 9},
};

template <typename Rank>
std::vector<const Parameter*> ordered_by(Rank rank) {
  std::vector<const Parameter*> rows;
  for (const Parameter& p : kParameters) {
    if (rank(p) >= 0) rows.push_back(&p);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [&](const Parameter* a, const Parameter* b) { return rank(*a) < rank(*b); });
  return rows;
}

struct Entry {
  const char* head;
  const char* text;
  int indent;
};

const Entry kAttributes[] = {
    {"n_features_in_ : int", "The number of input features.", 12},
    {"is_fitted_ : bool", "Indicator of whether the model is fitted.", 12},
    {"feature_names_ : list of str", "The feature name list of all input features.", 12},
    {"feature_types_ : list of str", "The feature type list of all input features.", 12},
    {"split_info_: dict", "The split points per feature.", 11},
    {"n_splits_raw_ : int", "The total number of splits in the raw XGB model.", 12},
    {"n_splits_ : int", "The total number of splits.", 12},
    {"xgb_params_ : dict", "The parameter dict of XGB model.", 12},
};

// A head line at eight blanks, each description line at `indent`.
void write_entry(std::ostringstream& out, const char* head, const char* text, int indent) {
  out << std::string(8, ' ') << head << "\n";
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    out << std::string(indent, ' ') << line << "\n";
  }
}

}  // namespace

std::vector<Param> init_params(Defaults which) {
  std::vector<Param> params;
  for (const Parameter& p : kParameters) {
    const Default& d = which == Defaults::base ? p.base_default : p.estimator_default;
    params.push_back(bind::opt(p.name, d.make()));
  }
  return params;
}

void store_params(py::handle self, const Args& a) {
  for (const Parameter& p : kParameters) self.attr(p.name) = a[p.name];
}

py::dict init_kwargs(const Args& a) {
  py::dict kw;
  for (const Parameter& p : kParameters) kw[p.name] = a[p.name];
  return kw;
}

py::dict booster_params(py::handle self, const py::object& monotone_constraints) {
  py::dict params;
  for (const Parameter* p : ordered_by([](const Parameter& q) { return q.booster_rank; })) {
    if (p->booster == Booster::monotone_constraints) {
      params["monotone_constraints"] = monotone_constraints;
    } else {
      params[p->name] = self.attr(p->name);
    }
  }
  return params;
}

std::string estimator_doc(const std::string& summary) {
  const std::string i8(8, ' ');
  std::ostringstream out;
  out << "\n" << i8 << summary << "\n\n";
  out << i8 << "Parameters\n" << i8 << "----------\n";
  for (const Parameter* p : ordered_by([](const Parameter& q) { return q.doc_rank; })) {
    write_entry(out, p->doc_head, p->doc_text, 12);
  }
  out << "\n" << i8 << "Attributes\n" << i8 << "----------\n";
  for (const Entry& e : kAttributes) write_entry(out, e.head, e.text, e.indent);
  out << std::string(5, ' ');
  return out.str();
}

}  // namespace mirt::xgb2
