// What the tests read from a headless run's --stats line and where a world point lands in its
// picture, to check what the picture shows.
#pragma once

#include <array>
#include <cmath>
#include <regex>
#include <string>
#include <vector>

// The `count` numbers of `key` in the JSON text (a number, or an array of them); empty if absent.
inline std::vector<double> numbers(const std::string& json, const std::string& key, int count) {
  std::smatch m;
  std::string number = "(-?[0-9.eE+-]+)", pattern = "\"" + key + "\": ";
  if (count > 1) {
    pattern += "\\[";
    for (int i = 0; i < count; ++i) pattern += (i ? ", " : "") + number;
  } else {
    pattern += number;
  }
  if (!std::regex_search(json, m, std::regex(pattern))) return {};
  std::vector<double> out;
  for (int i = 1; i <= count; ++i) out.push_back(std::stod(m[i]));
  return out;
}

// Where a world point lands in a width x height picture seen from `eye` towards `target`
// (z up) with a vertical field of view; false behind the eye.
inline bool project(const std::array<double, 3>& p, const std::vector<double>& eye, const std::vector<double>& target,
             double fieldOfView, int width, int height, double& x, double& y) {
  double f[3], r[3], u[3];
  for (int i = 0; i < 3; ++i) f[i] = target[i] - eye[i];
  double fl = std::sqrt(f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
  for (double& v : f) v /= fl;
  r[0] = f[1], r[1] = -f[0], r[2] = 0;  // forward x up
  double rl = std::sqrt(r[0] * r[0] + r[1] * r[1]);
  for (double& v : r) v /= rl;
  u[0] = r[1] * f[2] - r[2] * f[1], u[1] = r[2] * f[0] - r[0] * f[2], u[2] = r[0] * f[1] - r[1] * f[0];
  double d[3] = {p[0] - eye[0], p[1] - eye[1], p[2] - eye[2]};
  double depth = d[0] * f[0] + d[1] * f[1] + d[2] * f[2];
  if (depth <= 0) return false;
  double t = std::tan(fieldOfView * M_PI / 360.0);
  double aspect = static_cast<double>(width) / height;
  x = (0.5 + (d[0] * r[0] + d[1] * r[1] + d[2] * r[2]) / depth / (2 * t * aspect)) * width;
  y = (0.5 - (d[0] * u[0] + d[1] * u[1] + d[2] * u[2]) / depth / (2 * t)) * height;
  return true;
}

