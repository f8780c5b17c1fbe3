#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

namespace pm::bench {

Percentiles percentiles(std::vector<double>& samples) {
    Percentiles p;
    p.count = samples.size();
    if (samples.empty()) {
        return p;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double q) {
        const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
        return samples[std::min(samples.size() - 1, k == 0 ? 0 : k - 1)];
    };
    p.p50 = rank(0.50);
    p.p99 = rank(0.99);
    p.max = samples.back();
    p.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return p;
}

std::string fixed(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

struct Report::Node {
    std::string scalar; // already JSON text; empty for an object
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> children;

    Node& child(const std::string& key) {
        for (auto& [k, n] : children) {
            if (k == key) {
                return *n;
            }
        }
        children.emplace_back(key, std::make_unique<Node>());
        return *children.back().second;
    }
};

Report::Report() : root_(std::make_unique<Node>()) {}
Report::~Report() = default;

Report::Node& Report::at(const std::string& path) {
    Node* node = root_.get();
    std::size_t start = 0;
    for (;;) {
        const auto dot = path.find('.', start);
        node = &node->child(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) {
            return *node;
        }
        start = dot + 1;
    }
}

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

} // namespace

void Report::set(const std::string& path, double value) {
    at(path).scalar = std::isfinite(value) ? fixed(value, 3) : "null";
}
void Report::set(const std::string& path, std::int64_t value) {
    at(path).scalar = std::to_string(value);
}
void Report::set(const std::string& path, const std::string& value) {
    at(path).scalar = quoted(value);
}
void Report::set(const std::string& path, bool value) {
    at(path).scalar = value ? "true" : "false";
}

void Report::heading(const std::string& section, const std::string& title) {
    titles_[section] = title;
}

void Report::row(const std::string& section, const std::string& what, const std::string& value,
                 const std::string& target, const std::string& verdict) {
    rows_[section].push_back({what, value, target, verdict});
}
std::string Report::json() const {
    std::ostringstream out;
    const auto write = [&](const auto& self, const Node& node, int depth) -> void {
        if (!node.scalar.empty()) {
            out << node.scalar;
            return;
        }
        const std::string pad(static_cast<std::size_t>(depth + 1) * 2, ' ');
        out << "{";
        for (std::size_t i = 0; i < node.children.size(); ++i) {
            out << (i == 0 ? "\n" : ",\n") << pad << quoted(node.children[i].first) << ": ";
            self(self, *node.children[i].second, depth + 1);
        }
        out << "\n" << std::string(static_cast<std::size_t>(depth) * 2, ' ') << "}";
    };
    write(write, *root_, 0);
    out << "\n";
    return out.str();
}

void Report::printTable(std::ostream& out) const {
    std::size_t w1 = 6, w2 = 5, w3 = 6;
    for (const auto& [section, rows] : rows_) {
        for (const auto& r : rows) {
            w1 = std::max(w1, r.what.size());
            w2 = std::max(w2, r.value.size());
            w3 = std::max(w3, r.target.size());
        }
    }
    const auto cell = [](const std::string& s, std::size_t w) { return s + std::string(w - s.size(), ' '); };
    const std::string rule(w1 + w2 + w3 + 16, '-');
    out << cell("metric", w1) << " | " << cell("value", w2) << " | " << cell("target", w3) << " | verdict\n";
    for (const auto& [section, rows] : rows_) {
        const auto title = titles_.find(section);
        out << rule << "\n"
            << section << ". " << (title == titles_.end() ? std::string() : title->second) << "\n";
        for (const auto& r : rows) {
            out << cell(r.what, w1) << " | " << cell(r.value, w2) << " | " << cell(r.target, w3) << " | "
                << r.verdict << "\n";
        }
    }
    out << rule << "\n";
}

} // namespace pm::bench
