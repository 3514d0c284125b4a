// LowPatch.plot_marginal: the weak regions of a diagnosis drawn over the
// slicing feature(s), with the marginal histogram of each feature and the
// share of weak samples in each bin. The numbers come from the core; this file
// only reads the marginal result and hands arrays to matplotlib.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "context.hpp"
#include "mirt/marginal.hpp"

namespace mirt::lowpatch {

namespace {

using namespace pybind11::literals;

constexpr const char* kLight = "#c0dbec";
constexpr const char* kDark = "#69a5cf";
constexpr const char* kTitle = "Weak Regions";
constexpr double kTitleSize = 15;
constexpr double kLabelSize = 8;
constexpr double kLegendSize = 8;
// np.histogram's default bin count.
constexpr std::size_t kHistBins = 10;
// Annotations sit this far (points) above the point they describe.
constexpr double kLabelLift = 3;

py::object pyplot() { return py::module_::import("matplotlib.pyplot"); }

py::array_t<double> to_array(const std::vector<double>& v) {
  py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

// A statistic as a reader takes it in: three significant digits, whole numbers
// from 1000 on (no exponent for large errors).
std::string fmt(double v) {
  if (!std::isfinite(v)) return "n/a";
  char buf[64];
  std::snprintf(buf, sizeof buf, std::fabs(v) >= 1000 ? "%.0f" : "%.3g", v);
  return buf;
}

py::object entry(py::handle value, const char* key) {
  try {
    return value[key];
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_KeyError)) throw;
    throw py::key_error(std::string("'") + key +
                        "': plot_marginal draws the result of LowPatch.get_marginal(), which "
                        "has this entry");
  }
}

// Everything the drawing reads from the marginal result, checked once.
struct Inputs {
  py::object x;
  py::list stats;
  std::vector<py::ssize_t> fidx;
  py::object names;
  py::object rule_list;
  std::string score_name;
  double sign = -1;
  double threshold = 0;
  bool use_test = false;
  bool additive = false;
  bind::F64Array scores;  // empty unless the metric scores every sample
  std::size_t grid = 0;
};

std::string feature_name(const Inputs& in, std::size_t k) {
  py::object names = in.names;
  if (!names.is_none()) {
    py::list list = bind::to_list(names);
    const auto j = static_cast<std::size_t>(in.fidx[k]);
    if (j < list.size()) return py::str(list[j]).cast<std::string>();
  }
  return "X" + std::to_string(in.fidx[k]);
}

std::size_t checked_grid(py::handle grid) {
  const bool is_int = py::isinstance<py::int_>(grid) ||
                      (py::hasattr(grid, "__index__") && !py::isinstance<py::float_>(grid));
  if (!is_int || py::isinstance<py::bool_>(grid)) {
    mirt_error("grid must be a positive integer, got " + py::repr(grid).cast<std::string>());
  }
  const auto g = py::reinterpret_steal<py::object>(PyNumber_Index(grid.ptr()));
  if (!g) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(g.ptr(), &overflow);
  if (overflow > 0) mirt_error("grid " + py::repr(grid).cast<std::string>() + " is too large");
  if (overflow < 0 || v < 1) {
    mirt_error("grid must be a positive integer, got " + py::repr(grid).cast<std::string>());
  }
  return static_cast<std::size_t>(v);
}

Inputs read_inputs(py::handle diagnose_result, py::handle grid) {
  if (!py::hasattr(diagnose_result, "value")) {
    const std::string kind =
        py::str(py::type::of(diagnose_result).attr("__name__")).cast<std::string>();
    throw py::type_error(
        "plot_marginal draws the TestDataResult of LowPatch.get_marginal(), not a " + kind);
  }
  py::object value = diagnose_result.attr("value");
  Inputs in;
  in.stats = bind::to_list(entry(value, "weak_region_stats"));
  if (in.stats.empty()) bind::raise(ctx().mirt_info, "No weak regions detected.");
  in.grid = checked_grid(grid);

  py::list fidx = bind::to_list(entry(value, "fidx"));
  in.x = bind::numpy().attr("asarray")(entry(value, "x"));
  if (py::len(in.x.attr("shape")) != 2) mirt_error("the marginal result's x must be 2-D");
  const py::ssize_t n_cols = py::tuple(in.x.attr("shape"))[1].cast<py::ssize_t>();
  for (py::handle f : fidx) {
    const auto j = f.cast<py::ssize_t>();
    if (j < 0 || j >= n_cols) {
      mirt_error("slicing column " + std::to_string(j) + " is outside the " +
                 std::to_string(n_cols) + " columns of x");
    }
    in.fidx.push_back(j);
  }
  if (in.fidx.empty()) mirt_error("the marginal result names no slicing feature");
  // The histogram search uses the first two slicing features only.
  if (in.fidx.size() > 2) in.fidx.resize(2);
  // A curve holds a few numbers per grid point, an image one per cell.
  const std::size_t max_grid = in.fidx.size() == 1 ? 10000000 : 10000;
  if (in.grid > max_grid) {
    mirt_error("a grid of " + std::to_string(in.grid) +
               " points per feature is too large to draw; use at most " +
               std::to_string(max_grid));
  }

  in.names = entry(value, "feature_names");
  in.threshold = bind::to_double(entry(value, "threshold_value"));
  if (!std::isfinite(in.threshold)) mirt_error("the threshold value is not a finite number");
  in.score_name = py::str(entry(value, "score_name")).cast<std::string>();
  in.sign = bind::to_double(entry(value, "_sign"));
  py::object scores = entry(value, "scores");
  in.use_test = bind::truthy(entry(value, "use_test"));
  in.additive = bind::truthy(entry(value, "is_metric_additive"));
  in.rule_list = entry(value, "rule_list");
  if (in.additive) in.scores = checked_scores(scores, bind::n_rows(in.x));
  return in;
}

// The bounds of one feature of a region, given as lb1/ub1 or lb2/ub2.
struct Bounds {
  double lb, ub;
};

Bounds region_bounds(py::handle region, int k) {
  const char* lb = k == 0 ? "lb1" : "lb2";
  const char* ub = k == 0 ? "ub1" : "ub2";
  return {bind::to_double(region[lb]), bind::to_double(region[ub])};
}

// The statistic a region is annotated with, on the side the slicer searched.
double region_stat(const Inputs& in, py::handle region) {
  const std::string key = (in.use_test ? "test_" : "train_") + in.score_name;
  py::object v = region[py::str(key)];
  try {
    return bind::to_double(v);
  } catch (const py::error_already_set&) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}

std::string stat_label(const Inputs& in, double v) {
  return std::string(in.use_test ? "test " : "train ") + in.score_name + " " + fmt(v);
}

// The drawn range of a column; a constant column gets the histogram's 0.5 on
// each side so that no axis is singular.
struct Range {
  double lo, hi;
};

Range drawn_range(const bind::ColumnView& col) {
  double lo = column_min(col.column);
  double hi = column_max(col.column);
  if (lo == hi) {
    lo -= 0.5;
    hi += 0.5;
  }
  return {lo, hi};
}

// The light bars of all samples and, with per-sample scores, the dark bars of
// the weak samples over them, along x (bar) or along y (barh).
void histogram_panel(py::handle ax, const Inputs& in, const bind::ColumnView& col,
                     const std::string& name, py::handle scaler, bool horizontal) {
  MarginalHistogram h;
  {
    const DSpan s = in.additive ? bind::span(in.scores) : DSpan();
    py::gil_scoped_release nogil;
    h = marginal_histogram(col.column, s, in.sign, in.threshold, kHistBins);
  }
  std::vector<double> centres(h.density.size());
  for (std::size_t i = 0; i < centres.size(); ++i) centres[i] = (h.edges[i] + h.edges[i + 1]) / 2;
  const double width = h.edges[1] - h.edges[0];
  const char* draw = horizontal ? "barh" : "bar";
  const char* size = horizontal ? "height" : "width";
  py::dict light;
  light[size] = width;
  light["color"] = kLight;
  light["edgecolor"] = "black";
  ax.attr(draw)(to_array(centres), to_array(h.density), **light);
  if (in.additive) {
    py::dict dark;
    dark[size] = width;
    dark["color"] = kDark;
    dark["edgecolor"] = "black";
    ax.attr(draw)(to_array(centres), to_array(h.weak_density), **dark);
    // The light part left showing is the other side of the threshold.
    py::list labels = in.sign <= 0 ? py::list(py::make_tuple("Below threshold", "Above threshold"))
                                   : py::list(py::make_tuple("Above threshold", "Below threshold"));
    if (horizontal) {
      // The panel is too narrow for a legend: it goes below it, into the empty
      // corner of the grid, once the layout is known (place_corner_legend).
      py::object legend = ax.attr("legend")(labels, "fontsize"_a = kLegendSize,
                                            "loc"_a = "upper right", "handlelength"_a = 1.2,
                                            "handletextpad"_a = 0.4, "borderpad"_a = 0.3);
      legend.attr("set_in_layout")(false);
    } else {
      ax.attr("legend")(labels, "fontsize"_a = kLegendSize, "loc"_a = "best");
    }
  }
  if (horizontal) {
    ax.attr("set_ylabel")(name);
    ax.attr("set_xlabel")("Density");
    // Bars grow away from the main panel; two density ticks fit the narrow width.
    ax.attr("invert_xaxis")();
    ax.attr("xaxis").attr("set_major_locator")(
        bind::import_attr("matplotlib.ticker", "MaxNLocator")("nbins"_a = 2));
    ax.attr("tick_params")("axis"_a = "x", "labelsize"_a = 7);
  } else {
    ax.attr("set_xlabel")(name);
    ax.attr("set_ylabel")("Density");
    ax.attr("yaxis").attr("set_major_locator")(
        bind::import_attr("matplotlib.ticker", "MaxNLocator")("nbins"_a = 3));
  }
  py::reinterpret_borrow<py::object>(ctx().scale_plot_ticks)(
      "ax"_a = ax, "feature"_a = name, "scaler"_a = scaler, "axis"_a = horizontal ? 1 : 0);
}

// Lifts crowded annotations to free levels and keeps them inside the axes.
// Returns the display-coordinate top of the highest label.
double separate_labels(py::handle fig, py::handle ax, const std::vector<py::object>& labels,
                       double lift) {
  if (labels.empty()) return -std::numeric_limits<double>::infinity();
  const double dpi = bind::to_double(fig.attr("dpi"));
  const double pt = dpi / 72.0;
  py::object box = ax.attr("bbox");
  const double left = bind::to_double(box.attr("x0"));
  const double right = bind::to_double(box.attr("x1"));
  std::vector<LabelBox> boxes;
  std::vector<double> shift(labels.size(), 0.0);
  double height = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    py::object e = labels[i].attr("get_window_extent")();
    LabelBox b{bind::to_double(e.attr("x0")), bind::to_double(e.attr("x1")),
               bind::to_double(e.attr("y0")), bind::to_double(e.attr("y1"))};
    // Labels of regions at the edges are moved in rather than cut off.
    if (b.x1 > right) shift[i] = right - b.x1;
    if (b.x0 + shift[i] < left) shift[i] = left - b.x0;
    b.x0 += shift[i];
    b.x1 += shift[i];
    height = std::max(height, b.y1 - b.y0);
    boxes.push_back(b);
  }
  const double step = height + 1.0 * pt;
  const std::vector<int> levels = stack_labels(boxes, step);
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const double dy = levels[i] * step;
    labels[i].attr("xyann") = py::make_tuple(shift[i] / pt, lift + dy / pt);
    top = std::max(top, boxes[i].y1 + dy);
  }
  return top;
}

// What the layout step needs of the panels drawn.
struct Drawn {
  py::object gs;
  py::object ax;       // the main panel
  py::object ax_y;     // two features: the left histogram
  py::object caption;  // two features: the text saying what the labels are
};

Drawn plot_one_feature(py::handle fig, const Inputs& in, py::handle scaler) {
  const bind::ColumnView col = slicing_column(in.x, in.fidx[0], in.names, "searched");
  const std::string name = feature_name(in, 0);
  const Range r = drawn_range(col);

  std::vector<Rule1D> rules;
  if (!in.rule_list.is_none() && py::len(in.rule_list) > 0) {
    const double inf = std::numeric_limits<double>::infinity();
    for (py::handle rule : in.rule_list) {
      py::object splits = rule["splits"];
      Rule1D one{-inf, inf, bind::to_double(rule["values"])};
      if (py::isinstance<py::dict>(splits) && splits.contains("f0")) {
        one.lb = bind::to_double(splits["f0"]["lb"]);
        one.ub = bind::to_double(splits["f0"]["ub"]);
      }
      rules.push_back(one);
    }
  } else if (in.additive) {
    // No rules kept: the weak regions' bounds cut the range into segments,
    // each drawn at its mean score.
    std::vector<double> cuts;
    for (py::handle region : in.stats) {
      const Bounds b = region_bounds(region, 0);
      cuts.push_back(b.lb);
      cuts.push_back(b.ub);
    }
    py::gil_scoped_release nogil;
    rules = segment_rules(col.column, bind::span(in.scores), r.lo, r.hi, cuts);
  } else {
    for (py::handle region : in.stats) {
      const Bounds b = region_bounds(region, 0);
      rules.push_back({b.lb, b.ub, region_stat(in, region)});
    }
  }
  Curve curve;
  {
    py::gil_scoped_release nogil;
    curve = rule_curve(r.lo, r.hi, in.grid, rules);
  }

  py::object gs = fig.attr("add_gridspec")(2, 1, "wspace"_a = 0.1, "hspace"_a = 0.1,
                                           "height_ratios"_a = py::make_tuple(2, 1));
  py::object ax = fig.attr("add_subplot")(gs[py::make_tuple(0, 0)]);
  py::object ax_hist = fig.attr("add_subplot")(gs[py::make_tuple(1, 0)], "sharex"_a = ax);

  ax.attr("plot")(to_array(curve.x), to_array(curve.y), "color"_a = "black", "lw"_a = 1);
  ax.attr("axhline")(in.threshold, "color"_a = "red", "ls"_a = "--", "lw"_a = 0.5);
  ax.attr("tick_params")("labelbottom"_a = false);
  ax.attr("set_ylabel")(in.score_name, "color"_a = "black");
  ax.attr("set_title")(kTitle, "fontsize"_a = kTitleSize);
  ax.attr("set_xlim")(r.lo, r.hi);

  // Y range: the curve, the threshold and the annotated statistics.
  double lo = in.threshold;
  double hi = in.threshold;
  for (double v : curve.y) {
    if (std::isfinite(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  std::vector<double> stat_values;
  for (py::handle region : in.stats) {
    const double s = region_stat(in, region);
    stat_values.push_back(s);
    if (std::isfinite(s)) {
      lo = std::min(lo, s);
      hi = std::max(hi, s);
    }
  }
  const double span = hi - lo;
  double margin = 0.15 * span;
  if (span == 0) {
    // A flat picture still needs a visible range around its one value.
    const double size = std::max(std::fabs(lo), std::fabs(hi));
    margin = size > 0.001 ? 0.1 * size : 0.001;
  }
  double y_lo = lo - margin;
  double y_hi = hi + margin;
  ax.attr("set_ylim")(y_lo, y_hi);

  // The threshold line says what it is at its left end; region labels rise
  // above it where they would cross it.
  std::vector<py::object> labels;
  labels.push_back(ax.attr("annotate")(
      "threshold " + fmt(in.threshold), "xy"_a = py::make_tuple(r.lo, in.threshold),
      "xytext"_a = py::make_tuple(0.0, kLabelLift), "textcoords"_a = "offset points",
      "ha"_a = "left", "va"_a = "bottom", "color"_a = "red", "fontsize"_a = kLabelSize));
  for (std::size_t k = 0; k < in.stats.size(); ++k) {
    const Bounds b = region_bounds(in.stats[k], 0);
    const double a = std::max(b.lb, r.lo);
    const double c = std::min(b.ub, r.hi);
    // A faint band shows where each region lies, however narrow.
    ax.attr("axvspan")(a, c, "color"_a = "red", "alpha"_a = 0.08, "lw"_a = 0, "zorder"_a = 0);
    const double s = stat_values[k];
    const double y = std::isfinite(s) ? s : in.threshold;
    labels.push_back(ax.attr("annotate")(
        stat_label(in, s), "xy"_a = py::make_tuple(a + 0.55 * (c - a), y),
        "xytext"_a = py::make_tuple(0.0, kLabelLift), "textcoords"_a = "offset points",
        "ha"_a = "center", "va"_a = "bottom", "color"_a = "red", "fontsize"_a = kLabelSize));
  }
  const double top = separate_labels(fig, ax, labels, kLabelLift);
  py::object box = ax.attr("bbox");
  const double ax_top = bind::to_double(box.attr("y1"));
  const double ax_height = bind::to_double(box.attr("height"));
  if (top > ax_top && ax_height > 0) {
    // Raise the top of the panel until the highest label fits inside it.
    const double over = (top - ax_top) / ax_height;
    y_hi += over * (y_hi - y_lo) / std::max(1e-6, 1.0 - over) * 1.05;
    ax.attr("set_ylim")(y_lo, y_hi);
  }

  histogram_panel(ax_hist, in, col, name, scaler, false);
  return {gs, ax, py::none(), py::none()};
}

Drawn plot_two_features(py::handle fig, const Inputs& in, py::handle scaler) {
  const bind::ColumnView col1 = slicing_column(in.x, in.fidx[0], in.names, "searched");
  const bind::ColumnView col2 = slicing_column(in.x, in.fidx[1], in.names, "searched");
  const std::string name1 = feature_name(in, 0);
  const std::string name2 = feature_name(in, 1);
  const Range r1 = drawn_range(col1);
  const Range r2 = drawn_range(col2);

  std::vector<Rect> rects;
  for (py::handle region : in.stats) {
    const Bounds b1 = region_bounds(region, 0);
    const Bounds b2 = region_bounds(region, 1);
    rects.push_back({b1.lb, b1.ub, b2.lb, b2.ub});
  }
  auto image = std::make_unique<RegionImage>();
  {
    py::gil_scoped_release nogil;
    *image = region_image(r1.lo, r1.hi, r2.lo, r2.hi, in.grid, rects);
  }
  const auto g = static_cast<py::ssize_t>(in.grid);
  std::vector<double> centre1 = image->centre1;
  std::vector<double> centre2 = image->centre2;
  // The array views the image's cells; the capsule frees them with the array.
  std::uint8_t* cells = image->cells.data();
  py::capsule owner(image.release(),
                    [](void* p) { delete static_cast<RegionImage*>(p); });
  py::array_t<std::uint8_t> cell_array({g, g}, {g, py::ssize_t{1}}, cells, owner);

  py::object gs = fig.attr("add_gridspec")(2, 2, "wspace"_a = 0.1, "hspace"_a = 0.1,
                                           "height_ratios"_a = py::make_tuple(6, 1),
                                           "width_ratios"_a = py::make_tuple(1, 6));
  py::object ax = fig.attr("add_subplot")(gs[py::make_tuple(0, 1)]);
  py::object ax_x = fig.attr("add_subplot")(gs[py::make_tuple(1, 1)], "sharex"_a = ax);
  py::object ax_y = fig.attr("add_subplot")(gs[py::make_tuple(0, 0)], "sharey"_a = ax);

  py::list colours;
  colours.append(py::make_tuple(1, 1, 1));
  py::object dark2 = bind::import_attr("matplotlib", "colormaps")["Dark2"];
  for (py::handle c : dark2.attr("colors")) colours.append(c);
  py::object cmap = bind::import_attr("matplotlib.colors", "LinearSegmentedColormap")
                        .attr("from_list")("Dark2withWhite", colours, "N"_a = 6, "gamma"_a = 1);
  ax.attr("imshow")(cell_array, "interpolation"_a = "nearest", "cmap"_a = cmap, "vmin"_a = -1,
                    "vmax"_a = 6, "aspect"_a = "auto",
                    "extent"_a = py::make_tuple(r1.lo, r1.hi, r2.lo, r2.hi));
  // Fixed before the histograms are drawn: their bars must not widen the shared
  // ranges, and the tick scaler reads the final ticks.
  ax.attr("set_xlim")(r1.lo, r1.hi);
  ax.attr("set_ylim")(r2.lo, r2.hi);
  ax.attr("tick_params")("labelbottom"_a = false, "labelleft"_a = false);
  ax.attr("set_title")(kTitle, "fontsize"_a = kTitleSize);

  // Colours repeat every five regions, so touching regions may share one; a
  // thin white outline keeps them apart.
  py::object rectangle = bind::import_attr("matplotlib.patches", "Rectangle");
  for (const Rect& q : rects) {
    const double x0 = std::max(q.lb1, r1.lo), x1 = std::min(q.ub1, r1.hi);
    const double y0 = std::max(q.lb2, r2.lo), y1 = std::min(q.ub2, r2.hi);
    if (!(x0 <= x1 && y0 <= y1)) continue;
    ax.attr("add_patch")(rectangle(py::make_tuple(x0, y0), x1 - x0, y1 - y0, "fill"_a = false,
                                   "edgecolor"_a = "white", "lw"_a = 0.8));
  }

  std::vector<py::object> labels;
  py::dict plate;
  plate["boxstyle"] = "round,pad=0.2";
  plate["facecolor"] = "white";
  plate["edgecolor"] = "none";
  plate["alpha"] = 0.7;
  for (std::size_t k = 0; k < in.stats.size(); ++k) {
    if (!std::isfinite(centre1[k]) || !std::isfinite(centre2[k])) continue;
    labels.push_back(ax.attr("annotate")(
        fmt(region_stat(in, in.stats[k])),
        "xy"_a = py::make_tuple(centre1[k], centre2[k]), "xycoords"_a = "axes fraction",
        "xytext"_a = py::make_tuple(0.0, 0.0), "textcoords"_a = "offset points", "ha"_a = "center",
        "va"_a = "center", "color"_a = "black", "fontsize"_a = kLabelSize, "bbox"_a = plate));
  }
  separate_labels(fig, ax, labels, 0.0);
  // Regions are small here, so their labels carry the number only; what the
  // number is is said once, above the left panel, beside the main title. It
  // reaches over the image's corner, so the layout must not make room for it.
  py::object caption = ax_y.attr("set_title")(
      std::string(in.use_test ? "test " : "train ") + in.score_name + " per region",
      "fontsize"_a = kLabelSize, "loc"_a = "left");
  caption.attr("set_in_layout")(false);

  histogram_panel(ax_x, in, col1, name1, scaler, false);
  // Density labels on the outer side keep the panels close to the image.
  ax_x.attr("yaxis").attr("tick_right")();
  ax_x.attr("yaxis").attr("set_label_position")("right");
  histogram_panel(ax_y, in, col2, name2, scaler, true);
  return {gs, ax, ax_y, caption};
}

// Puts the left histogram's legend just below that panel and its labels,
// right-aligned with it, so it fills the empty corner of the grid and the left
// margin instead of covering bars. Needs the final layout. Returns how far (as
// a fraction of the figure's width) it would stick out on the left.
double place_corner_legend(py::handle fig, py::handle ax_y) {
  py::object legend = ax_y.attr("get_legend")();
  if (legend.is_none()) return 0.0;
  py::object fig_box = fig.attr("bbox");
  const double fig_w = bind::to_double(fig_box.attr("width"));
  const double fig_h = bind::to_double(fig_box.attr("height"));
  const double pt = bind::to_double(fig.attr("dpi")) / 72.0;
  const double right = bind::to_double(ax_y.attr("get_position")().attr("x1"));
  const double bottom = bind::to_double(ax_y.attr("get_tightbbox")().attr("y0"));
  const double y = (bottom - 2.0 * pt) / fig_h;
  legend.attr("set_bbox_to_anchor")(py::make_tuple(right, y),
                                    "transform"_a = fig.attr("transFigure"));
  const double x0 = bind::to_double(legend.attr("get_window_extent")().attr("x0"));
  return x0 < 4.0 * pt ? (4.0 * pt - x0) / fig_w : 0.0;
}

// The caption over the left panel reaches towards the main title; in a
// narrow figure it breaks into two lines rather than run into the title.
void fit_caption(py::handle ax, py::handle caption) {
  const std::string text = py::str(caption.attr("get_text")()).cast<std::string>();
  if (text.empty()) return;
  const double caption_right = bind::to_double(caption.attr("get_window_extent")().attr("x1"));
  const double title_left =
      bind::to_double(ax.attr("title").attr("get_window_extent")().attr("x0"));
  if (caption_right + 2.0 <= title_left) return;
  const auto space = text.find(" per region");
  if (space != std::string::npos) {
    caption.attr("set_text")(text.substr(0, space) + "\nper region");
  }
}

py::object plot_marginal(py::handle, const Args& a) {
  const Inputs in = read_inputs(a["diagnose_result"], a["grid"]);
  py::object plt = pyplot();
  py::object fig = plt.attr("figure")("figsize"_a = a["figsize"]);
  try {
    const Drawn d = in.fidx.size() == 1 ? plot_one_feature(fig, in, a["scaler"])
                                        : plot_two_features(fig, in, a["scaler"]);
    py::object gs = d.gs;
    // The figure-wide tight layout skips a grid with its own spacing (and
    // warns that it did); the grid's own layout arranges these panels.
    gs.attr("tight_layout")(fig);
    if (in.fidx.size() > 1) {
      py::object ax_y = d.ax_y;
      const double overflow = place_corner_legend(fig, ax_y);
      if (overflow > 0 && overflow < 0.12) {
        // Short tick labels leave a margin too narrow for the legend: lay the
        // panels out again with that much more room on the left.
        gs.attr("tight_layout")(fig, "rect"_a = py::make_tuple(overflow, 0.0, 1.0, 1.0));
        place_corner_legend(fig, ax_y);
      } else if (overflow > 0) {
        // A figure this small has no room to spare: keep the legend whole at
        // the left edge rather than squeeze the panels.
        py::object legend = ax_y.attr("get_legend")();
        const double pt = bind::to_double(fig.attr("dpi")) / 72.0;
        const double fig_w = bind::to_double(fig.attr("bbox").attr("width"));
        const double y = bind::to_double(legend.attr("get_bbox_to_anchor")().attr("y0")) /
                         bind::to_double(fig.attr("bbox").attr("height"));
        legend.attr("set_loc")("upper left");
        legend.attr("set_bbox_to_anchor")(py::make_tuple(4.0 * pt / fig_w, y),
                                          "transform"_a = fig.attr("transFigure"));
      }
      fit_caption(d.ax, d.caption);
    }
  } catch (...) {
    // No half-drawn figure is left behind to be saved by mistake.
    plt.attr("close")(fig);
    throw;
  }
  plt.attr("show")();
  return py::none();
}

}  // namespace

void add_marginal_plot(bind::ClassBuilder& cls) {
  cls.def_static("plot_marginal",
                 {req("diagnose_result"), opt("grid", py::int_(1000)), opt_none("scaler"),
                  opt("figsize", py::make_tuple(6, 6))},
                 R"(Draw the weak regions of a diagnosis over its slicing features.

With one slicing feature the upper panel shows the score along the feature
(black), the threshold (red, dashed) and each weak region's statistic; with
two, an image of the weak regions, one colour each. Below (and, for two
features, to the left) a density histogram of each feature shows in dark the
share of samples on the weak side of the threshold.

Parameters
----------
diagnose_result : TestDataResult
    The result of ``LowPatch.get_marginal()``.
grid : int, default=1000
    Grid points per slicing feature.
scaler : fitted scikit-learn scaler, default=None
    Relabels the feature axes in original units when the data were scaled.
figsize : tuple of float, default=(6, 6)

Returns
-------
None
    The figure is left current, so ``plt.savefig`` saves it.

Raises
------
MirtInfo
    When the diagnosis found no weak region.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
>>> plt.savefig("weak_regions.png")  # doctest: +SKIP
)",
                 plot_marginal);
}

}  // namespace mirt::lowpatch
