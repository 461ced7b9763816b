// chart: SVG charts drawn by the server (no script, nothing loaded).
// Labels are escaped. Pure functions; thread-safe.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace web {

struct Series {
  std::string label;
  std::vector<std::pair<double, double>> points;   // x, y in order of x
};

// Lines that hold their value until the next point (a running total).
std::string StepChart(const std::vector<Series>& series, const std::string& x_label, const std::string& y_label);
// One bar per labelled value.
std::string BarChart(const std::vector<std::pair<std::string, double>>& bars, const std::string& y_label);

}  // namespace web
