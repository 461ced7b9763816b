#include "chart.h"

#include <algorithm>
#include <cstdio>

#include "html.h"

namespace web {
namespace {

const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
constexpr double kW = 640, kH = 300, kLeft = 50, kRight = 160, kTop = 10, kBottom = 30;

std::string Num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", v);
  return b;
}

std::string Label(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

}  // namespace

std::string StepChart(const std::vector<Series>& series, const std::string& x_label, const std::string& y_label) {
  double x0 = 0, x1 = 1, y0 = 0, y1 = 1;
  for (const Series& s : series)
    for (const auto& [x, y] : s.points) {
      x1 = std::max(x1, x);
      x0 = std::min(x0, x);
      y1 = std::max(y1, y);
      y0 = std::min(y0, y);
    }
  const double pw = kW - kLeft - kRight, ph = kH - kTop - kBottom;
  auto X = [&](double x) { return kLeft + (x - x0) / (x1 - x0) * pw; };
  auto Y = [&](double y) { return kTop + (y1 - y) / (y1 - y0) * ph; };
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kW) + "\" height=\"" + Num(kH) +
                    "\" viewBox=\"0 0 " + Num(kW) + " " + Num(kH) + "\" role=\"img\"><title>" + Escape(y_label) + "</title>";
  svg += "<line x1=\"" + Num(kLeft) + "\" y1=\"" + Num(Y(0)) + "\" x2=\"" + Num(kLeft + pw) + "\" y2=\"" + Num(Y(0)) +
         "\" stroke=\"#999\"/>";
  svg += "<text x=\"2\" y=\"" + Num(kTop + 10) + "\" font-size=\"11\">" + Label(y1) + "</text>";
  svg += "<text x=\"2\" y=\"" + Num(kTop + ph) + "\" font-size=\"11\">" + Label(y0) + "</text>";
  svg += "<text x=\"" + Num(kLeft) + "\" y=\"" + Num(kH - 5) + "\" font-size=\"11\">" + Label(x0) + "</text>";
  svg += "<text x=\"" + Num(kLeft + pw - 30) + "\" y=\"" + Num(kH - 5) + "\" font-size=\"11\">" + Label(x1) + "</text>";
  svg += "<text x=\"" + Num(kLeft + pw / 2 - 20) + "\" y=\"" + Num(kH - 5) + "\" font-size=\"11\">" + Escape(x_label) + "</text>";
  for (size_t i = 0; i < series.size(); ++i) {
    const Series& s = series[i];
    const char* colour = kColours[i % 10];
    std::string path;
    double last_y = 0;
    path += Num(X(x0)) + "," + Num(Y(0));
    for (const auto& [x, y] : s.points) {
      path += " " + Num(X(x)) + "," + Num(Y(last_y)) + " " + Num(X(x)) + "," + Num(Y(y));
      last_y = y;
    }
    path += " " + Num(X(x1)) + "," + Num(Y(last_y));
    svg += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" + std::string(colour) + "\" points=\"" + path + "\"/>";
    const double ly = kTop + 14 + 16 * static_cast<double>(i);
    svg += "<rect x=\"" + Num(kW - kRight + 10) + "\" y=\"" + Num(ly - 9) + "\" width=\"10\" height=\"10\" fill=\"" +
           colour + "\"/><text x=\"" + Num(kW - kRight + 24) + "\" y=\"" + Num(ly) + "\" font-size=\"12\">" +
           Escape(s.label) + "</text>";
  }
  return svg + "</svg>";
}

std::string BarChart(const std::vector<std::pair<std::string, double>>& bars, const std::string& y_label) {
  double top = 1;
  for (const auto& b : bars) top = std::max(top, b.second);
  const double pw = kW - kLeft - 20, ph = kH - kTop - kBottom;
  const double bw = bars.empty() ? pw : pw / static_cast<double>(bars.size());
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kW) + "\" height=\"" + Num(kH) +
                    "\" viewBox=\"0 0 " + Num(kW) + " " + Num(kH) + "\" role=\"img\"><title>" + Escape(y_label) + "</title>";
  svg += "<text x=\"2\" y=\"" + Num(kTop + 10) + "\" font-size=\"11\">" + Label(top) + "</text>";
  for (size_t i = 0; i < bars.size(); ++i) {
    const double h = std::max(0.0, bars[i].second) / top * ph;
    const double x = kLeft + bw * static_cast<double>(i);
    svg += "<rect x=\"" + Num(x + 1) + "\" y=\"" + Num(kTop + ph - h) + "\" width=\"" + Num(std::max(1.0, bw - 2)) +
           "\" height=\"" + Num(h) + "\" fill=\"#1f77b4\"><title>" + Escape(bars[i].first) + ": " +
           Label(bars[i].second) + "</title></rect>";
    if (bars.size() <= 12)
      svg += "<text x=\"" + Num(x + 2) + "\" y=\"" + Num(kH - 5) + "\" font-size=\"10\">" + Escape(bars[i].first) + "</text>";
  }
  return svg + "</svg>";
}

}  // namespace web
