#pragma once
// What one benchmark run found: a table for people and a JSON document for
// tools. Values are filed under dotted paths ("vote.servers_1.program.p99_us")
// that become nested objects, in the order they were first filed.

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace pm::bench {

struct Percentiles {
    std::size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};
// Nearest-rank percentiles of the samples (sorted in place).
Percentiles percentiles(std::vector<double>& samples);

std::string fixed(double value, int decimals);

class Report {
public:
    Report();
    ~Report();

    void set(const std::string& path, double value);
    void set(const std::string& path, std::int64_t value);
    void set(const std::string& path, int value) { set(path, static_cast<std::int64_t>(value)); }
    void set(const std::string& path, const std::string& value);
    void set(const std::string& path, const char* value) { set(path, std::string(value)); }
    void set(const std::string& path, bool value);

    // The table is printed section by section, in the order of their ids
    // ("1", "2a", ...), whatever order the runs filled them in.
    void heading(const std::string& section, const std::string& title);
    // verdict: "ok", "MISS" or empty when the row has no target.
    void row(const std::string& section, const std::string& what, const std::string& value,
             const std::string& target = {}, const std::string& verdict = {});
    static std::string verdict(bool met) { return met ? "ok" : "MISS"; }

    std::string json() const;
    void printTable(std::ostream& out) const;

private:
    struct Node;
    Node& at(const std::string& path);

    std::unique_ptr<Node> root_;
    struct Row {
        std::string what, value, target, verdict;
    };
    std::map<std::string, std::string> titles_;
    std::map<std::string, std::vector<Row>> rows_;
};

} // namespace pm::bench
