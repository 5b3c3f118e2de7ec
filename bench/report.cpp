// report.cpp -- formatting of the table and the CSV file.
#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace peerdir {
namespace bench {

namespace {

const char* const kColumns[] = {"area", "setting", "figure",  "value",
                                "unit", "target",  "verdict", "note"};
constexpr std::size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

std::vector<std::string> cellsOf(const Figure& f) {
    return {f.area, f.setting,     f.quantity,   valueText(f.value),
            f.unit, targetText(f), verdictOf(f), f.note};
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

Figure figure(const std::string& area, const std::string& setting, const std::string& quantity,
              double value, const std::string& unit) {
    Figure f;
    f.area = area;
    f.setting = setting;
    f.quantity = quantity;
    f.value = value;
    f.unit = unit;
    return f;
}

Figure withGoal(Figure f, Goal goal, double limit) {
    f.goal = goal;
    f.limit = limit;
    return f;
}

Figure noted(Figure f, const std::string& note) {
    f.note = f.note.empty() ? note : f.note + "; " + note;
    return f;
}

std::vector<Figure> groupedByArea(const std::vector<Figure>& figures) {
    std::vector<std::string> areas;
    for (const Figure& f : figures) {
        if (std::find(areas.begin(), areas.end(), f.area) == areas.end()) areas.push_back(f.area);
    }
    std::vector<Figure> grouped;
    for (const std::string& area : areas) {
        for (const Figure& f : figures) {
            if (f.area == area) grouped.push_back(f);
        }
    }
    return grouped;
}

std::string verdictOf(const Figure& f) {
    if (std::isnan(f.value)) return f.goal == Goal::None ? "" : "no figure";
    switch (f.goal) {
        case Goal::AtMost:
            return f.value <= f.limit ? "met" : "MISSED";
        case Goal::AtLeast:
            return f.value >= f.limit ? "met" : "MISSED";
        case Goal::None:
            break;
    }
    return "";
}

std::string valueText(double value) {
    if (std::isnan(value)) return "-";
    char text[32];
    if (std::fabs(value) >= 10000 || value == std::floor(value)) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.4g", value);
    }
    return text;
}

std::string targetText(const Figure& f) {
    switch (f.goal) {
        case Goal::AtMost:
            return "<= " + valueText(f.limit);
        case Goal::AtLeast:
            return ">= " + valueText(f.limit);
        case Goal::None:
            break;
    }
    return "";
}

void printTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<Figure>& figures) {
    for (const std::string& line : header) out << line << "\n";
    std::size_t widths[kColumnCount];
    for (std::size_t i = 0; i < kColumnCount; ++i) widths[i] = std::string(kColumns[i]).size();
    for (const Figure& f : figures) {
        std::vector<std::string> cells = cellsOf(f);
        for (std::size_t i = 0; i < kColumnCount; ++i)
            widths[i] = std::max(widths[i], cells[i].size());
    }
    std::string previousArea, previousSetting;
    auto printRow = [&](std::vector<std::string> cells) {
        std::string line;
        for (std::size_t i = 0; i < kColumnCount; ++i) line += padded(cells[i], widths[i] + 2);
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    };
    printRow(std::vector<std::string>(kColumns, kColumns + kColumnCount));
    for (const Figure& f : figures) {
        std::vector<std::string> cells = cellsOf(f);
        bool sameArea = f.area == previousArea;
        bool sameSetting = sameArea && f.setting == previousSetting;
        previousArea = f.area;
        previousSetting = f.setting;
        if (sameArea) cells[0].clear();
        if (sameSetting) cells[1].clear();
        printRow(cells);
    }
    out.flush();
}

bool writeCsv(const std::string& path, const std::vector<Figure>& figures) {
    std::ofstream file(path, std::ios::trunc);
    if (!file) return false;
    for (std::size_t i = 0; i < kColumnCount; ++i) file << (i ? "," : "") << kColumns[i];
    file << "\n";
    for (const Figure& f : figures) {
        std::vector<std::string> cells = cellsOf(f);
        for (std::size_t i = 0; i < kColumnCount; ++i) file << (i ? "," : "") << csvField(cells[i]);
        file << "\n";
    }
    return static_cast<bool>(file);
}

}  // namespace bench
}  // namespace peerdir
