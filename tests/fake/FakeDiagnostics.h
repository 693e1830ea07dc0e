#pragma once

#include <string>
#include <vector>

#include "platform/Diagnostics.h"

namespace ampwarden::test {

// Records every diagnostic line with its destination, in order.
class FakeDiagnostics : public Diagnostics {
  public:
    enum class Destination { SystemLog, StandardOutput };
    struct Line {
        Destination destination;
        std::string text;
    };

    void systemLog(const std::string& line) override {
        lines.push_back({Destination::SystemLog, line});
    }
    void standardOutput(const std::string& line) override {
        lines.push_back({Destination::StandardOutput, line});
    }

    std::vector<std::string> systemLines() const { return only(Destination::SystemLog); }
    std::vector<std::string> stdoutLines() const { return only(Destination::StandardOutput); }
    std::vector<std::string> allLines() const {
        std::vector<std::string> out;
        for (const auto& line : lines) out.push_back(line.text);
        return out;
    }
    void clear() { lines.clear(); }

    std::vector<Line> lines;

  private:
    std::vector<std::string> only(Destination destination) const {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            if (line.destination == destination) out.push_back(line.text);
        }
        return out;
    }
};

}  // namespace ampwarden::test
