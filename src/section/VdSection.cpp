#include "vdpattern/section/VdSection.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Pt {
  double x, y;
};
Pt operator+(Pt a, Pt b) { return {a.x + b.x, a.y + b.y}; }
Pt operator-(Pt a, Pt b) { return {a.x - b.x, a.y - b.y}; }
Pt operator*(Pt a, double k) { return {a.x * k, a.y * k}; }
double Norm(Pt a) { return std::hypot(a.x, a.y); }

// One edge of a closed loop, from `from` to the next edge's `from`: straight, or an arc about `centre`, swept
// counter-clockwise when `ccw`.
struct Edge {
  Pt from;
  bool arc = false;
  Pt centre{0, 0};
  double radius = 0;
  bool ccw = true;
};
using Loop = std::vector<Edge>;

// Integrals over a region: of 1, x, y, x², y² and xy.
struct Moments {
  double a = 0, sx = 0, sy = 0, ixx = 0, iyy = 0, ixy = 0;
  Moments& operator+=(const Moments& m) {
    a += m.a, sx += m.sx, sy += m.sy, ixx += m.ixx, iyy += m.iyy, ixy += m.ixy;
    return *this;
  }
  Moments operator*(double k) const { return {a * k, sx * k, sy * k, ixx * k, iyy * k, ixy * k}; }
};

// The straight edge p->q's share of the polygon integrals (Green's theorem; signed by direction).
Moments EdgeMoments(Pt p, Pt q) {
  const double c = p.x * q.y - q.x * p.y;
  Moments m;
  m.a = c / 2;
  m.sx = (p.x + q.x) * c / 6;
  m.sy = (p.y + q.y) * c / 6;
  m.ixx = (p.x * p.x + p.x * q.x + q.x * q.x) * c / 12;
  m.iyy = (p.y * p.y + p.y * q.y + q.y * q.y) * c / 12;
  m.ixy = (p.x * q.y + 2 * p.x * p.y + 2 * q.x * q.y + q.x * p.y) * c / 24;
  return m;
}

// The circular segment between the chord and the arc of radius r about c from angle t1 swept by phi > 0
// (counter-clockwise): the sector less the triangle (c, start, end). Sector integrals in closed form.
Moments SegmentMoments(Pt c, double r, double t1, double phi) {
  const double t2 = t1 + phi;
  const double r3 = r * r * r, r4 = r3 * r;
  Moments local;
  local.a = r * r * phi / 2;
  local.sx = r3 / 3 * (std::sin(t2) - std::sin(t1));
  local.sy = r3 / 3 * (std::cos(t1) - std::cos(t2));
  local.ixx = r4 / 8 * (phi + (std::sin(2 * t2) - std::sin(2 * t1)) / 2);
  local.iyy = r4 / 8 * (phi - (std::sin(2 * t2) - std::sin(2 * t1)) / 2);
  local.ixy = r4 / 8 * (std::sin(t2) * std::sin(t2) - std::sin(t1) * std::sin(t1));
  Moments sector;  // shifted from the centre to the origin
  sector.a = local.a;
  sector.sx = local.sx + c.x * local.a;
  sector.sy = local.sy + c.y * local.a;
  sector.ixx = local.ixx + 2 * c.x * local.sx + c.x * c.x * local.a;
  sector.iyy = local.iyy + 2 * c.y * local.sy + c.y * c.y * local.a;
  sector.ixy = local.ixy + c.x * local.sy + c.y * local.sx + c.x * c.y * local.a;
  const Pt p = c + Pt{r * std::cos(t1), r * std::sin(t1)};
  const Pt q = c + Pt{r * std::cos(t2), r * std::sin(t2)};
  Moments triangle = EdgeMoments(c, p);
  triangle += EdgeMoments(p, q);
  triangle += EdgeMoments(q, c);
  sector += triangle * -1;
  return sector;
}

// Start angle and signed sweep of an arc edge from `e.from` to `to`. Arcs here never reach half a turn (fillets,
// corners and quarters of a circle), so the sweep is the short way round.
void ArcAngles(const Edge& e, Pt to, double& t1, double& sweep) {
  t1 = std::atan2(e.from.y - e.centre.y, e.from.x - e.centre.x);
  sweep = std::atan2(to.y - e.centre.y, to.x - e.centre.x) - t1;
  if (sweep > kPi) sweep -= 2 * kPi;
  if (sweep <= -kPi) sweep += 2 * kPi;
}

Moments LoopMoments(const Loop& loop) {
  Moments m;
  for (std::size_t i = 0; i < loop.size(); ++i) {
    const Edge& e = loop[i];
    const Pt to = loop[(i + 1) % loop.size()].from;
    m += EdgeMoments(e.from, to);
    if (e.arc) {
      double t1, sweep;
      ArcAngles(e, to, t1, sweep);
      // Convex (counter-clockwise) arcs add their segment beyond the chord, concave ones take it away.
      if (sweep > 0)
        m += SegmentMoments(e.centre, e.radius, t1, sweep);
      else
        m += SegmentMoments(e.centre, e.radius, t1 + sweep, -sweep) * -1;
    }
  }
  return m;
}

Moments RegionMoments(const std::vector<Loop>& loops) {
  Moments m;
  for (const Loop& l : loops) m += LoopMoments(l);
  return m;
}

// The part of a loop where the coordinate `axis` (0: x, 1: y) is at least `c`, as a loop again: arcs are cut
// where the line crosses them, and the pieces are joined along the line (Sutherland-Hodgman, which keeps the
// integrals right for loops that are not convex).
Loop Clip(const Loop& loop, int axis, double c) {
  auto coord = [axis](Pt p) { return axis == 0 ? p.x : p.y; };
  auto inside = [&](Pt p) { return coord(p) >= c; };
  Loop out;
  // Sub-edge a->b lies wholly inside. A gap from the last point to `a` runs along the line, straight.
  auto emit = [&](Pt a, Pt b, const Edge* arc) {
    if (out.empty() || Norm(out.back().from - a) > 0) out.push_back(Edge{a});
    if (arc) {
      Edge& last = out.back();
      last.arc = true, last.centre = arc->centre, last.radius = arc->radius, last.ccw = arc->ccw;
    }
    out.push_back(Edge{b});
  };
  for (std::size_t i = 0; i < loop.size(); ++i) {
    const Edge& e = loop[i];
    const Pt to = loop[(i + 1) % loop.size()].from;
    if (!e.arc) {
      const bool ia = inside(e.from), ib = inside(to);
      const double da = coord(e.from) - c, db = coord(to) - c;
      if (ia && ib) {
        emit(e.from, to, nullptr);
      } else if (ia != ib) {
        const Pt x = e.from + (to - e.from) * (da / (da - db));
        if (ia)
          emit(e.from, x, nullptr);
        else
          emit(x, to, nullptr);
      }
      continue;
    }
    double t1, sweep;
    ArcAngles(e, to, t1, sweep);
    // Crossings: centre + r cos/sin(t) on the line coord = c.
    std::vector<double> cuts{0.0, 1.0};
    const double k = (c - coord(e.centre)) / e.radius;
    if (std::fabs(k) < 1) {
      const double base = axis == 0 ? 0.0 : kPi / 2;  // coord = r cos(t - base)
      for (double t : {base + std::acos(k), base - std::acos(k)}) {
        for (int turn = -3; turn <= 3; ++turn) {
          const double f = (t + 2 * kPi * turn - t1) / sweep;
          if (f > 1e-12 && f < 1 - 1e-12) cuts.push_back(f);
        }
      }
    }
    std::sort(cuts.begin(), cuts.end());
    auto at = [&](double f) {
      const double t = t1 + sweep * f;
      return e.centre + Pt{e.radius * std::cos(t), e.radius * std::sin(t)};
    };
    for (std::size_t j = 0; j + 1 < cuts.size(); ++j) {
      if (cuts[j + 1] - cuts[j] <= 0) continue;
      if (!inside(at((cuts[j] + cuts[j + 1]) / 2))) continue;
      Pt a = cuts[j] == 0.0 ? e.from : at(cuts[j]);
      Pt b = cuts[j + 1] == 1.0 ? to : at(cuts[j + 1]);
      emit(a, b, &e);
    }
  }
  // The last point closes back to the first along the line; a repeated first point is dropped.
  if (out.size() > 1 && Norm(out.back().from - out.front().from) == 0) out.pop_back();
  return out;
}

std::vector<Loop> ClipAll(const std::vector<Loop>& loops, int axis, double c) {
  std::vector<Loop> out;
  for (const Loop& l : loops) {
    Loop part = Clip(l, axis, c);
    if (part.size() >= 2) out.push_back(std::move(part));
  }
  return out;
}

// Bounding box of the loops: vertices and the arcs' extreme points.
void Bounds(const std::vector<Loop>& loops, double& x0, double& x1, double& y0, double& y1) {
  x0 = y0 = INFINITY, x1 = y1 = -INFINITY;
  auto add = [&](Pt p) {
    x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
  };
  for (const Loop& loop : loops) {
    for (std::size_t i = 0; i < loop.size(); ++i) {
      const Edge& e = loop[i];
      add(e.from);
      if (!e.arc) continue;
      double t1, sweep;
      ArcAngles(e, loop[(i + 1) % loop.size()].from, t1, sweep);
      for (int q = -8; q <= 8; ++q) {
        const double f = (q * kPi / 2 - t1) / sweep;
        if (f > 0 && f < 1) add(e.centre + Pt{e.radius * std::cos(q * kPi / 2), e.radius * std::sin(q * kPi / 2)});
      }
    }
  }
}

// A polygon given by its corners, counter-clockwise, each rounded with its radius (0: sharp). A convex corner
// becomes a convex arc, a re-entrant one a fillet; the tangent points must fit on the edges.
struct Corner {
  Pt p;
  double r = 0;
};

Loop Rounded(const std::vector<Corner>& corners, bool reverse = false) {
  std::vector<Corner> cs = corners;
  if (reverse) std::reverse(cs.begin(), cs.end());
  const std::size_t n = cs.size();
  std::vector<double> cut(n, 0.0);  // tangent length at each corner
  Loop loop;
  std::vector<Edge> arcs(n);
  std::vector<Pt> t1(n), t2(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Pt p = cs[i].p, prev = cs[(i + n - 1) % n].p, next = cs[(i + 1) % n].p;
    t1[i] = t2[i] = p;
    if (cs[i].r <= 0) continue;
    const Pt a = (prev - p) * (1 / Norm(prev - p)), b = (next - p) * (1 / Norm(next - p));
    const double cosang = std::clamp(a.x * b.x + a.y * b.y, -1.0, 1.0);
    const double half = std::acos(cosang) / 2;
    if (half <= 1e-12 || half >= kPi / 2 - 1e-12) continue;  // a straight run has no corner to round
    const double tl = cs[i].r / std::tan(half);
    cut[i] = tl;
    t1[i] = p + a * tl;
    t2[i] = p + b * tl;
    Pt bis = a + b;
    bis = bis * (1 / Norm(bis));
    Edge arc{t1[i], true, p + bis * (cs[i].r / std::sin(half)), cs[i].r, true};
    // Turning left (counter-clockwise boundary) is a convex corner.
    const Pt in = p - prev, outv = next - p;
    arc.ccw = in.x * outv.y - in.y * outv.x > 0;
    arcs[i] = arc;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = (i + 1) % n;
    if (cut[i] + cut[j] > Norm(cs[j].p - cs[i].p) * (1 + 1e-9))
      throw std::invalid_argument("the radii do not fit the section's walls");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (cut[i] > 0) {
      loop.push_back(arcs[i]);
      loop.push_back(Edge{t2[i]});
    } else {
      loop.push_back(Edge{cs[i].p});
    }
  }
  return loop;
}

// ---------------------------------------------------------------- dimensions

class Dims {
 public:
  Dims(const std::map<std::string, double>& dims, std::set<std::string> known) : dims_(dims) {
    for (const auto& [name, value] : dims) {
      if (!known.count(name)) throw std::invalid_argument("unknown dimension '" + name + "' for this shape");
      if (!std::isfinite(value) || value < 0)
        throw std::invalid_argument("dimension '" + name + "' must be a finite number of at least 0");
    }
  }
  bool Has(const std::string& n) const { return dims_.count(n) != 0; }
  // A length that must be given and positive, read from the first of `names` that is given.
  double Need(std::initializer_list<const char*> names) const {
    for (const char* n : names) {
      auto it = dims_.find(n);
      if (it == dims_.end()) continue;
      if (!(it->second > 0)) throw std::invalid_argument(std::string("dimension '") + n + "' must be positive");
      return it->second;
    }
    throw std::invalid_argument(std::string("dimension '") + *names.begin() + "' is missing");
  }
  double Get(std::initializer_list<const char*> names, double fallback) const {
    for (const char* n : names) {
      auto it = dims_.find(n);
      if (it != dims_.end()) return it->second;
    }
    return fallback;
  }

 private:
  const std::map<std::string, double>& dims_;
};

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

// Thin flange with free ends, El Darwish and Johnston: b t³ (1/3 - k (t/b)(1 - t⁴/(m b⁴))).
double FlangeTorsion(double b, double t, double k, double m) {
  return b * t * t * t * (1.0 / 3 - k * (t / b) * (1 - std::pow(t / b, 4) / m));
}

struct Built {
  std::vector<Loop> loops;
  double It = 0;
  double Iw = 0;
  bool hasIw = false;
  bool angle = false;
};

// I section, centred on the origin. `slope` 0 gives parallel flanges, otherwise tf is measured at `u` from the tip.
Built BuildI(double h, double b, double tw, double tf, double r1, double r2, double slope, double u) {
  Require(tw < b && 2 * tf < h, "the walls are thicker than the section");
  const double hb = h / 2, bb = b / 2, hw = tw / 2;
  Require(u <= bb - hw, "u, where tf is measured, lies beyond the flange");
  const double rise = slope * (bb - hw);                    // drop of the inner face from web to tip
  const double tTip = tf - slope * u, tRoot = tTip + rise;  // flange thickness at the tip and at the web
  Require(tTip > 0 && 2 * tRoot < h, "the flange slope leaves no flange");
  std::vector<Corner> c;
  // Counter-clockwise from the lower left tip, the lower flange then the web's right side and the upper flange.
  c.push_back({{-bb, -hb}, 0});
  c.push_back({{bb, -hb}, 0});
  c.push_back({{bb, -hb + tTip}, r2});
  c.push_back({{hw, -hb + tRoot}, r1});
  c.push_back({{hw, hb - tRoot}, r1});
  c.push_back({{bb, hb - tTip}, r2});
  c.push_back({{bb, hb}, 0});
  c.push_back({{-bb, hb}, 0});
  c.push_back({{-bb, hb - tTip}, r2});
  c.push_back({{-hw, hb - tRoot}, r1});
  c.push_back({{-hw, -hb + tRoot}, r1});
  c.push_back({{-bb, -hb + tTip}, r2});
  Built out;
  out.loops.push_back(Rounded(c));
  // Torsion: two flanges (tapered ones at their mean thickness), the web between them, and the junctions.
  const double t = tf, r = r1;
  const double alpha =
      -0.042 + 0.2204 * tw / t + 0.1355 * r / t - 0.0865 * r * tw / (t * t) - 0.0725 * tw * tw / (t * t);
  const double d = ((t + r) * (t + r) + tw * (r + tw / 4)) / (2 * r + t);
  out.It = 2 * FlangeTorsion(b, t, 0.21, 12) + (h - 2 * t) * tw * tw * tw / 3 + 2 * alpha * std::pow(d, 4);
  out.hasIw = true;  // filled in once Iz is known
  return out;
}

// Channel, web on the left at y = 0, centred in z. With a slope, tf is measured at `u` from the tip.
Built BuildU(double h, double b, double tw, double tf, double r1, double r2, double slope, double u) {
  Require(tw < b && 2 * tf < h, "the walls are thicker than the section");
  const double hb = h / 2;
  Require(u <= b - tw, "u, where tf is measured, lies beyond the flange");
  const double tTip = tf - slope * u, tRoot = tf + slope * (b - u - tw);
  Require(tTip > 0 && 2 * tRoot < h, "the flange slope leaves no flange");
  std::vector<Corner> c;
  c.push_back({{0, -hb}, 0});
  c.push_back({{b, -hb}, 0});
  c.push_back({{b, -hb + tTip}, r2});
  c.push_back({{tw, -hb + tRoot}, r1});
  c.push_back({{tw, hb - tRoot}, r1});
  c.push_back({{b, hb - tTip}, r2});
  c.push_back({{b, hb}, 0});
  c.push_back({{0, hb}, 0});
  Built out;
  out.loops.push_back(Rounded(c));
  const double t = tf, r = r1;
  const double alpha =
      -0.0908 + 0.2621 * tw / t + 0.1231 * r / t - 0.0752 * tw * r / (t * t) - 0.0945 * tw * tw / (t * t);
  const double d = 2 * ((3 * r + tw + t) - std::sqrt(2 * (2 * r + tw) * (2 * r + t)));
  out.It = 2 * FlangeTorsion(b, t, 0.105, 192) + (h - 2 * t) * tw * tw * tw / 3 + 2 * alpha * std::pow(d, 4);
  const double bm = b - tw / 2, hm = h - t;
  out.Iw = t * bm * bm * bm * hm * hm / 12 * (3 * bm * t + 2 * hm * tw) / (6 * bm * t + hm * tw);
  out.hasIw = true;
  return out;
}

// Angle with its heel at the origin: leg h up the z axis, leg b along y.
Built BuildL(double h, double b, double t, double r1, double r2) {
  Require(t < h && t < b, "the legs are thinner than their thickness");
  std::vector<Corner> c;
  c.push_back({{0, 0}, 0});
  c.push_back({{b, 0}, 0});
  c.push_back({{b, t}, r2});
  c.push_back({{t, t}, r1});
  c.push_back({{t, h}, r2});
  c.push_back({{0, h}, 0});
  Built out;
  out.loops.push_back(Rounded(c));
  const double alpha = 0.07 + 0.076 * r1 / t;
  const double d = 2 * ((3 * r1 + 2 * t) - std::sqrt(2.0) * (2 * r1 + t));
  out.It = FlangeTorsion(b, t, 0.21, 12) + FlangeTorsion(h - t, t, 0.105, 192) + alpha * std::pow(d, 4);
  out.angle = true;
  return out;
}

Built BuildRHS(double h, double b, double t, double ro, double ri) {
  Require(2 * t < h && 2 * t < b, "the walls are thicker than the section");
  const double hb = h / 2, bb = b / 2;
  Built out;
  out.loops.push_back(Rounded({{{-bb, -hb}, ro}, {{bb, -hb}, ro}, {{bb, hb}, ro}, {{-bb, hb}, ro}}));
  const double hi = hb - t, bi = bb - t;
  out.loops.push_back(Rounded({{{-bi, -hi}, ri}, {{bi, -hi}, ri}, {{bi, hi}, ri}, {{-bi, hi}, ri}}, true));
  // Bredt's formula on the wall's middle line, with the tables' allowance for the rounded corners.
  const double rc = (ro + ri) / 2;
  const double p = 2 * ((b - t) + (h - t)) - 2 * rc * (4 - kPi);
  const double ah = (b - t) * (h - t) - rc * rc * (4 - kPi);
  out.It = t * t * t * p / 3 + 2 * (2 * t * ah / p) * ah;
  return out;
}

Built BuildCHS(double d, double t) {
  Require(2 * t < d, "the wall is thicker than the tube");
  const double ro = d / 2, ri = d / 2 - t;
  Built out;
  // A square whose corner radius is half its side is the circle.
  out.loops.push_back(Rounded({{{-ro, -ro}, ro}, {{ro, -ro}, ro}, {{ro, ro}, ro}, {{-ro, ro}, ro}}));
  out.loops.push_back(Rounded({{{-ri, -ri}, ri}, {{ri, -ri}, ri}, {{ri, ri}, ri}, {{-ri, ri}, ri}}, true));
  out.It = kPi * (std::pow(d, 4) - std::pow(d - 2 * t, 4)) / 32;
  return out;
}

// The dimensions each shape reads, aliases included.
const std::map<std::string, std::vector<std::string>>& DimensionTable() {
  static const std::map<std::string, std::vector<std::string>> table{
      {"I", {"h", "b", "tw", "tf", "r"}},
      {"IT", {"h", "b", "tw", "tf", "r1", "r2", "r", "slope", "u"}},
      {"U", {"h", "b", "tw", "tf", "r"}},
      {"UT", {"h", "b", "tw", "tf", "r1", "r2", "r", "slope", "u"}},
      {"L", {"h", "b", "t", "r1", "r2", "tw", "tf", "r"}},
      {"RHS", {"h", "b", "t", "ro", "ri"}},
      {"CHS", {"d", "t"}},
  };
  return table;
}

std::set<std::string> Known(const char* shape) {
  const auto& names = DimensionTable().at(shape);
  return {names.begin(), names.end()};
}

Built Build(const std::string& shape, const std::map<std::string, double>& dims) {
  if (shape == "I") {
    Dims d(dims, Known("I"));
    return BuildI(d.Need({"h"}), d.Need({"b"}), d.Need({"tw"}), d.Need({"tf"}), d.Get({"r"}, 0), 0, 0, 0);
  }
  if (shape == "IT") {
    Dims d(dims, Known("IT"));
    const double b = d.Need({"b"}), r1 = d.Get({"r1", "r"}, 0);
    return BuildI(d.Need({"h"}), b, d.Need({"tw"}), d.Need({"tf"}), r1, d.Get({"r2"}, 0.6 * r1), d.Get({"slope"}, 0.14),
                  d.Get({"u"}, b / 4));
  }
  if (shape == "U") {
    Dims d(dims, Known("U"));
    return BuildU(d.Need({"h"}), d.Need({"b"}), d.Need({"tw"}), d.Need({"tf"}), d.Get({"r"}, 0), 0, 0, 0);
  }
  if (shape == "UT") {
    Dims d(dims, Known("UT"));
    const double h = d.Need({"h"}), b = d.Need({"b"}), tw = d.Need({"tw"}), r1 = d.Get({"r1", "r"}, 0);
    const bool deep = h > 300;
    return BuildU(h, b, tw, d.Need({"tf"}), r1, d.Get({"r2"}, r1 / 2), d.Get({"slope"}, deep ? 0.05 : 0.08),
                  d.Get({"u"}, deep ? (b - tw) / 2 : b / 2));
  }
  if (shape == "L") {
    Dims d(dims, Known("L"));
    Require(!(d.Has("tw") && d.Has("tf") && d.Get({"tw"}, 0) != d.Get({"tf"}, 0)),
            "an angle's legs have one thickness: tw and tf differ");
    const double r1 = d.Get({"r1", "r"}, 0);
    return BuildL(d.Need({"h"}), d.Need({"b"}), d.Need({"t", "tw", "tf"}), r1, d.Get({"r2"}, r1 / 2));
  }
  if (shape == "RHS") {
    Dims d(dims, Known("RHS"));
    return BuildRHS(d.Need({"h"}), d.Need({"b"}), d.Need({"t"}), d.Get({"ro"}, 0), d.Get({"ri"}, 0));
  }
  if (shape == "CHS") {
    Dims d(dims, Known("CHS"));
    return BuildCHS(d.Need({"d"}), d.Need({"t"}));
  }
  throw std::invalid_argument("unknown section shape '" + shape + "'");
}

// ∫|coord - c| dA about the axis that halves the area.
double PlasticModulus(const std::vector<Loop>& loops, int axis, double lo, double hi, double area) {
  for (int i = 0; i < 100 && hi - lo > 1e-12 * (std::fabs(hi) + std::fabs(lo) + 1); ++i) {
    const double mid = (lo + hi) / 2;
    if (RegionMoments(ClipAll(loops, axis, mid)).a > area / 2)
      lo = mid;
    else
      hi = mid;
  }
  const double c = (lo + hi) / 2;
  const Moments total = RegionMoments(loops), up = RegionMoments(ClipAll(loops, axis, c));
  const double sTotal = axis == 0 ? total.sx : total.sy, sUp = axis == 0 ? up.sx : up.sy;
  const double sDown = sTotal - sUp, aDown = total.a - up.a;
  return (sUp - c * up.a) + (c * aDown - sDown);
}

}  // namespace

VdSectionProperties CVdSection::Compute(const std::string& shape, const std::map<std::string, double>& dims,
                                        double density) {
  if (!std::isfinite(density) || density <= 0) throw std::invalid_argument("the density must be positive");
  const Built s = Build(shape, dims);
  const Moments m = RegionMoments(s.loops);
  Require(m.a > 0, "the dimensions leave no section");
  double x0, x1, y0, y1;
  Bounds(s.loops, x0, x1, y0, y1);
  VdSectionProperties p;
  p.A = m.a;
  const double cx = m.sx / m.a, cy = m.sy / m.a;
  p.yc = cx - x0;
  p.zc = cy - y0;
  p.Iy = m.iyy - m.a * cy * cy;
  p.Iz = m.ixx - m.a * cx * cx;
  p.Iyz = m.ixy - m.a * cx * cy;
  if (std::fabs(p.Iyz) < 1e-12 * (p.Iy + p.Iz)) p.Iyz = 0;
  p.Wely = p.Iy / std::max(y1 - cy, cy - y0);
  p.Welz = p.Iz / std::max(x1 - cx, cx - x0);
  p.Wply = PlasticModulus(s.loops, 1, y0, y1, m.a);
  p.Wplz = PlasticModulus(s.loops, 0, x0, x1, m.a);
  p.iy = std::sqrt(p.Iy / p.A);
  p.iz = std::sqrt(p.Iz / p.A);
  p.It = s.It;
  p.hasIw = s.hasIw;
  p.isAngle = s.angle;
  if (s.hasIw) {
    if (shape == "I" || shape == "IT") {
      const double tf = dims.at("tf");
      const double arm = (y1 - y0) - tf;
      p.Iw = p.Iz * arm * arm / 4;
    } else {
      p.Iw = s.Iw;
    }
  }
  // Principal axes: u the major one, alpha from y to u. Iy is about the horizontal axis, so the product of area
  // in the y-z frame enters with the sign of ∫ y z dA.
  const double mean = (p.Iy + p.Iz) / 2, half = std::hypot((p.Iy - p.Iz) / 2, p.Iyz);
  p.Iu = mean + half;
  p.Iv = mean - half;
  p.alpha = (p.Iyz == 0 && p.Iy >= p.Iz) ? 0 : 0.5 * std::atan2(-2 * p.Iyz, p.Iy - p.Iz);
  p.G = p.A * 1e-6 * density;
  return p;
}

std::vector<VdSectionValue> VdSectionProperties::List() const {
  std::vector<VdSectionValue> v{
      {"A", A, "mm2"},        {"Iy", Iy, "mm4"},      {"Iz", Iz, "mm4"}, {"Wel,y", Wely, "mm3"}, {"Wel,z", Welz, "mm3"},
      {"Wpl,y", Wply, "mm3"}, {"Wpl,z", Wplz, "mm3"}, {"iy", iy, "mm"},  {"iz", iz, "mm"},       {"It", It, "mm4"}};
  if (hasIw) v.push_back({"Iw", Iw, "mm6"});
  v.push_back({"yc", yc, "mm"});
  v.push_back({"zc", zc, "mm"});
  v.push_back({"G", G, "kg/m"});
  if (isAngle) {
    v.push_back({"Iu", Iu, "mm4"});
    v.push_back({"Iv", Iv, "mm4"});
    v.push_back({"alpha", alpha, "rad"});
  }
  return v;
}

bool CVdSection::IsShape(const std::string& shape) {
  const auto all = Shapes();
  return std::find(all.begin(), all.end(), shape) != all.end();
}

std::vector<std::string> CVdSection::Shapes() { return {"I", "IT", "U", "UT", "L", "RHS", "CHS"}; }

std::vector<std::string> CVdSection::Dimensions(const std::string& shape) {
  const auto it = DimensionTable().find(shape);
  return it == DimensionTable().end() ? std::vector<std::string>() : it->second;
}
