#pragma once
// An independent check of section properties: the outline as a plain polygon, each fillet divided into many
// straight pieces, with the polygon's integrals and a half-plane cut for the plastic moduli. Units are whatever
// the outline is drawn in. Tapered flanges are drawn from the thickness at a given distance from the tip, and
// their fillets from the lines offset by the radius, not from the corner's bisector as the engine does.

#include <algorithm>
#include <cmath>
#include <vector>

namespace vdtest {

struct P {
  double y, z;
};
using Poly = std::vector<P>;

struct Props {
  double A, Iy, Iz, Wely, Welz, Wply, Wplz;
};

constexpr double kPolygonPi = 3.14159265358979323846;

// Arc about (cy, cz) from angle a0 to a1 (degrees), both end points included.
inline void Arc(Poly& poly, double cy, double cz, double r, double a0, double a1, int pieces = 2000) {
  for (int i = 0; i <= pieces; ++i) {
    const double a = (a0 + (a1 - a0) * i / pieces) * kPolygonPi / 180;
    poly.push_back({cy + r * std::cos(a), cz + r * std::sin(a)});
  }
}

inline double Area(const Poly& p, double* sy = nullptr, double* sz = nullptr, double* iyy = nullptr,
                   double* izz = nullptr) {
  double a = 0, y = 0, z = 0, yy = 0, zz = 0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const P u = p[i], v = p[(i + 1) % p.size()];
    const double c = u.y * v.z - v.y * u.z;
    a += c / 2, y += (u.y + v.y) * c / 6, z += (u.z + v.z) * c / 6;
    yy += (u.y * u.y + u.y * v.y + v.y * v.y) * c / 12, zz += (u.z * u.z + u.z * v.z + v.z * v.z) * c / 12;
  }
  if (sy) *sy = y, *sz = z, *iyy = yy, *izz = zz;
  return a;
}

// The part of every loop with z >= c (or y >= c when `onY`).
inline std::vector<Poly> Cut(const std::vector<Poly>& loops, bool onY, double c) {
  std::vector<Poly> out;
  for (const Poly& p : loops) {
    Poly q;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const P u = p[i], v = p[(i + 1) % p.size()];
      const double du = (onY ? u.y : u.z) - c, dv = (onY ? v.y : v.z) - c;
      if (du >= 0) q.push_back(u);
      if ((du >= 0) != (dv >= 0)) q.push_back({u.y + (v.y - u.y) * du / (du - dv), u.z + (v.z - u.z) * du / (du - dv)});
    }
    out.push_back(q);
  }
  return out;
}

inline Props PolygonProps(const std::vector<Poly>& loops) {
  double a = 0, sy = 0, sz = 0, iyy = 0, izz = 0, ymin = 1e9, ymax = -1e9, zmin = 1e9, zmax = -1e9;
  for (const Poly& p : loops) {
    double y, z, yy, zz;
    a += Area(p, &y, &z, &yy, &zz);
    sy += y, sz += z, iyy += yy, izz += zz;
    for (P v : p)
      ymin = std::min(ymin, v.y), ymax = std::max(ymax, v.y), zmin = std::min(zmin, v.z), zmax = std::max(zmax, v.z);
  }
  const double yc = sy / a, zc = sz / a;
  Props r{};
  r.A = a;
  r.Iy = izz - a * zc * zc;
  r.Iz = iyy - a * yc * yc;
  r.Wely = r.Iy / std::max(zmax - zc, zc - zmin);
  r.Welz = r.Iz / std::max(ymax - yc, yc - ymin);
  for (bool onY : {false, true}) {
    double lo = onY ? ymin : zmin, hi = onY ? ymax : zmax;
    for (int i = 0; i < 80; ++i) {
      double up = 0;
      for (const Poly& p : Cut(loops, onY, (lo + hi) / 2)) up += Area(p);
      (up > a / 2 ? lo : hi) = (lo + hi) / 2;
    }
    const double c = (lo + hi) / 2;
    double aUp = 0, sUp = 0;
    for (const Poly& p : Cut(loops, onY, c)) {
      double y, z, yy, zz;
      aUp += Area(p, &y, &z, &yy, &zz);
      sUp += onY ? y : z;
    }
    const double w = (sUp - c * aUp) + (c * (a - aUp) - ((onY ? sy : sz) - sUp));
    (onY ? r.Wplz : r.Wply) = w;
  }
  return r;
}

// A rectangle centred on the origin with its corners rounded by r (0: sharp), counter-clockwise, or clockwise
// for a hole.
inline Poly RoundedRect(double h, double b, double r, bool hole) {
  Poly p;
  if (r > 0) {
    Arc(p, b / 2 - r, -h / 2 + r, r, -90, 0);
    Arc(p, b / 2 - r, h / 2 - r, r, 0, 90);
    Arc(p, -b / 2 + r, h / 2 - r, r, 90, 180);
    Arc(p, -b / 2 + r, -h / 2 + r, r, 180, 270);
  } else {
    p = {{b / 2, -h / 2}, {b / 2, h / 2}, {-b / 2, h / 2}, {-b / 2, -h / 2}};
  }
  if (hole) std::reverse(p.begin(), p.end());
  return p;
}

// Corner b of the counter-clockwise path a -> b -> c rounded by r: the centre is where the two edges' lines,
// each moved r towards the arc's side, cross; the arc runs between the centre's feet on the edges.
inline void Fillet(Poly& poly, P a, P b, P c, double r) {
  if (r <= 0) {
    poly.push_back(b);
    return;
  }
  const P d1{b.y - a.y, b.z - a.z}, d2{c.y - b.y, c.z - b.z};
  const double side = d1.y * d2.z - d1.z * d2.y > 0 ? 1 : -1;  // a left turn rounds off, a right turn fills in
  const double l1 = std::hypot(d1.y, d1.z), l2 = std::hypot(d2.y, d2.z);
  const P n1{-d1.z / l1 * side, d1.y / l1 * side}, n2{-d2.z / l2 * side, d2.y / l2 * side};
  // a + n1 r + s d1 = b + n2 r + t d2, solved for s.
  const P q1{a.y + n1.y * r, a.z + n1.z * r}, q2{b.y + n2.y * r, b.z + n2.z * r};
  const double det = d1.y * (-d2.z) - d1.z * (-d2.y);
  const double s = ((q2.y - q1.y) * (-d2.z) - (q2.z - q1.z) * (-d2.y)) / det;
  const P centre{q1.y + s * d1.y, q1.z + s * d1.z};
  const double t1 = std::atan2(-n1.z, -n1.y), t2 = std::atan2(-n2.z, -n2.y);
  double sweep = t2 - t1;
  if (sweep > kPolygonPi) sweep -= 2 * kPolygonPi;
  if (sweep < -kPolygonPi) sweep += 2 * kPolygonPi;
  Arc(poly, centre.y, centre.z, r, t1 * 180 / kPolygonPi, (t1 + sweep) * 180 / kPolygonPi);
}

// A closed counter-clockwise outline from its corners, each with its radius.
inline Poly Rounded(const std::vector<std::pair<P, double>>& corners) {
  Poly p;
  const std::size_t n = corners.size();
  for (std::size_t i = 0; i < n; ++i)
    Fillet(p, corners[(i + n - 1) % n].first, corners[i].first, corners[(i + 1) % n].first, corners[i].second);
  return p;
}

// The inner face of a tapered flange as the thickness `tf` at `u` from the tip and the slope: the thickness at
// distance x from the tip.
inline double FlangeAt(double tf, double slope, double u, double x) { return tf + slope * (x - u); }

// I section with tapered flanges, centred on the origin: root fillets r1, toe radii r2.
inline std::vector<Poly> TaperedI(double h, double b, double tw, double tf, double slope, double u, double r1,
                                  double r2) {
  const double tip = FlangeAt(tf, slope, u, 0), root = FlangeAt(tf, slope, u, b / 2 - tw / 2);
  const double H = h / 2, B = b / 2, T = tw / 2;
  return {Rounded({{{-B, -H}, 0},
                   {{B, -H}, 0},
                   {{B, -H + tip}, r2},
                   {{T, -H + root}, r1},
                   {{T, H - root}, r1},
                   {{B, H - tip}, r2},
                   {{B, H}, 0},
                   {{-B, H}, 0},
                   {{-B, H - tip}, r2},
                   {{-T, H - root}, r1},
                   {{-T, -H + root}, r1},
                   {{-B, -H + tip}, r2}})};
}

// Channel with tapered flanges, web on the left.
inline std::vector<Poly> TaperedU(double h, double b, double tw, double tf, double slope, double u, double r1,
                                  double r2) {
  const double tip = FlangeAt(tf, slope, u, 0), root = FlangeAt(tf, slope, u, b - tw);
  const double H = h / 2;
  return {Rounded({{{0, -H}, 0},
                   {{b, -H}, 0},
                   {{b, -H + tip}, r2},
                   {{tw, -H + root}, r1},
                   {{tw, H - root}, r1},
                   {{b, H - tip}, r2},
                   {{b, H}, 0},
                   {{0, H}, 0}})};
}

}  // namespace vdtest
