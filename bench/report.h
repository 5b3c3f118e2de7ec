// report.h -- the benchmark's figures, each with its target, printed as a
// table and written as CSV.
#ifndef PEERDIR_BENCH_REPORT_H
#define PEERDIR_BENCH_REPORT_H

#include <ostream>
#include <string>
#include <vector>

namespace peerdir {
namespace bench {

enum class Goal {
    None,     // reported for information
    AtMost,   // met when value <= limit
    AtLeast,  // met when value >= limit
};

struct Figure {
    std::string area;      // what was measured, e.g. "introduction"
    std::string setting;   // under what load, e.g. "100 clients, quiet target"
    std::string quantity;  // which figure, e.g. "p99"
    double value = 0;      // NaN when the measurement failed
    std::string unit;
    Goal goal = Goal::None;
    double limit = 0;
    std::string note;  // why a figure may mislead, or why it is missing
};

Figure figure(const std::string& area, const std::string& setting, const std::string& quantity,
              double value, const std::string& unit);
Figure withGoal(Figure f, Goal goal, double limit);
Figure noted(Figure f, const std::string& note);

// The figures with each area's together, areas in the order they first
// appear; within an area the order is kept.
std::vector<Figure> groupedByArea(const std::vector<Figure>& figures);

// "met", "MISSED", "" when there is no target, "no figure" when the value is
// missing.
std::string verdictOf(const Figure& f);

// The value as text: four significant digits, "-" when missing.
std::string valueText(double value);

// The target as text, e.g. "<= 1.1"; empty when there is none.
std::string targetText(const Figure& f);

// Header lines, then one aligned row per figure; the area and setting are
// printed only where they change.
void printTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<Figure>& figures);

// One CSV line per figure under a header line, with the same columns as the
// table. Returns false when the file cannot be written.
bool writeCsv(const std::string& path, const std::vector<Figure>& figures);

}  // namespace bench
}  // namespace peerdir

#endif
